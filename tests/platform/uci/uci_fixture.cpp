#include "uci_fixture.h"

#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>

#include <gtest/gtest.h>

namespace ucitest {

Store::Store()
{
    if (mkdir(conf().c_str(), 0755) < 0)
        throw std::runtime_error("mkdir " + conf());
}

void Store::put(const std::string &pkg, const std::string &text) const
{
    testsupport::write_file(file(pkg), text);
}

std::string Store::read(const std::string &pkg) const
{
    return testsupport::read_file(file(pkg));
}

std::string Store::saved(const std::string &pkg) const
{
    return testsupport::read_file(save() + "/" + pkg);
}

Ctx::Ctx(const Store &s) : c_(uci_alloc_context())
{
    if (!c_ || uci_set_confdir(c_, s.conf().c_str()) || uci_set_savedir(c_, s.save().c_str()))
        throw std::runtime_error("uci context");
}

uci_package *Ctx::load(const char *pkg)
{
    uci_package *p = nullptr;
    EXPECT_EQ(uci_load(c_, pkg, &p), UCI_OK) << error();
    return p;
}

int Ctx::lookup(const std::string &path, uci_ptr &ptr, bool extended)
{
    buf_ = path;
    ptr = uci_ptr{};
    return uci_lookup_ptr(c_, &ptr, buf_.data(), extended);
}

std::string Ctx::get(const std::string &path)
{
    uci_ptr ptr{};
    int r = lookup(path, ptr);
    if (r != UCI_OK)
        return "<error " + std::to_string(r) + ">";
    if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE))
        return "<none>";
    if (!ptr.o)
        return ptr.s ? ptr.s->type : ptr.p->e.name;
    if (ptr.o->type == UCI_TYPE_STRING)
        return ptr.o->v.string;
    std::string out;
    uci_element *e;
    uci_foreach_element(&ptr.o->v.list, e)
        out += (out.empty() ? "" : "|") + std::string(e->name);
    return out;
}

std::string Ctx::error(const char *prefix)
{
    char *s = nullptr;
    uci_get_errorstr(c_, &s, prefix);
    std::string out = s ? s : "";
    free(s);
    return out;
}

} // namespace ucitest
