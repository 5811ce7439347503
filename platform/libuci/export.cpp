// The file format that a commit writes, byte for byte the router's.
#include <cstdio>
#include <cstring>
#include <string>

#include "guard.h"
#include "uci_int.h"

namespace uci {

namespace {

// Types may hold any printable character; those the parser would read
// differently go in quotes so the file reads back the same.
std::string type_text(const char *type)
{
    if (strpbrk(type, "'\"\\#;"))
        return quote(type);
    return type;
}

} // namespace

std::string quote(std::string_view v)
{
    std::string s = "'";
    for (char c : v) {
        if (c == '\'')
            s += "'\\''";
        else
            s += c;
    }
    s += '\'';
    return s;
}

std::string export_text(const uci_package *p, bool header, bool names)
{
    std::string out;
    if (header)
        out += std::string("package ") + p->e.name + "\n";
    uci_element *se;
    uci_foreach_element(&p->sections, se) {
        const uci_section *s = uci_to_section(se);
        out += "\nconfig " + type_text(s->type);
        if (!s->anonymous || names)
            out += " " + quote(se->name);
        out += "\n";
        uci_element *oe;
        uci_foreach_element(&s->options, oe) {
            const uci_option *o = uci_to_option(oe);
            if (o->type == UCI_TYPE_STRING) {
                out += std::string("\toption ") + oe->name + " " + quote(o->v.string) + "\n";
                continue;
            }
            uci_element *i;
            uci_foreach_element(&o->v.list, i)
                out += std::string("\tlist ") + oe->name + " " + quote(i->name) + "\n";
        }
    }
    out += "\n";
    return out;
}

} // namespace uci

using namespace uci;

extern "C" int uci_export(uci_context *ctx, FILE *stream, uci_package *package, bool header)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    if (!stream)
        return fail(ctx, UCI_ERR_INVAL);
    return guarded(ctx, [&]() -> int {
        bool names = ctx->flags & UCI_FLAG_EXPORT_NAME;
        std::string out;
        if (package) {
            out = export_text(package, header, names);
        } else {
            uci_element *e;
            uci_foreach_element(&ctx->root, e)
                out += export_text(uci_to_package(e), header, names);
        }
        if (fwrite(out.data(), 1, out.size(), stream) != out.size())
            return fail(ctx, UCI_ERR_IO);
        return UCI_OK;
    });
}
