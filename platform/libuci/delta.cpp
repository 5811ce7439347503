// Uncommitted changes: one line each in <savedir>/<package>, e.g.
//   ovimar.status.devId='x'   +pkg.cfg03dc81='zone'   -pkg.sec.opt
// so that a change made by one process can be committed by another.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "guard.h"
#include "io.h"
#include "reader.h"
#include "uci_int.h"

namespace uci {

namespace {

struct Cmd {
    char prefix;
    uci_command cmd;
};

constexpr Cmd CMDS[] = {
    {'+', UCI_CMD_ADD},      {'-', UCI_CMD_REMOVE},   {'@', UCI_CMD_RENAME},
    {'^', UCI_CMD_REORDER},  {'|', UCI_CMD_LIST_ADD}, {'~', UCI_CMD_LIST_DEL},
};

const char *prefix_of(uci_command cmd)
{
    static const char *const P[] = {"+", "-", "", "@", "^", "|", "~"};
    return cmd < __UCI_CMD_MAX ? P[cmd] : "";
}

// One parsed change line; ptr refers into buf.
struct Tuple {
    uci_command cmd = UCI_CMD_CHANGE;
    uci_ptr ptr{};
    std::vector<char> buf;
};

// The checks a change line passes before it counts as one, whether or
// not it then applies.
bool parse_tuple(uci_context *ctx, const std::string &word, Tuple &t)
{
    size_t skip = 0;
    for (const Cmd &c : CMDS) {
        if (!word.empty() && word[0] == c.prefix) {
            t.cmd = c.cmd;
            skip = 1;
        }
    }
    t.buf.assign(word.begin() + static_cast<long>(skip), word.end());
    t.buf.push_back('\0');
    uci_ptr &p = t.ptr;
    if (parse_ptr(ctx, &p, t.buf.data()) || !p.section || (p.flags & uci_ptr::UCI_LOOKUP_EXTENDED))
        return false;
    if (t.cmd != UCI_CMD_REMOVE && !p.value)
        return false;
    switch (t.cmd) {
    case UCI_CMD_REORDER: return !p.option;
    case UCI_CMD_RENAME: return valid_name(p.value);
    case UCI_CMD_LIST_ADD:
    case UCI_CMD_LIST_DEL: return p.option != nullptr;
    default: return true;
    }
}

bool apply(uci_context *ctx, uci_package *p, uci_command cmd, const char *section,
           const char *option, const char *value)
{
    uci_ptr ptr{};
    ptr.p = p;
    ptr.package = p->e.name;
    ptr.section = section;
    ptr.option = option;
    ptr.value = value;
    switch (cmd) {
    case UCI_CMD_ADD:
    case UCI_CMD_CHANGE:
        if (!value || set(ctx, &ptr, false))
            return false;
        if (cmd == UCI_CMD_ADD && !option && ptr.s)
            ptr.s->anonymous = true;
        return true;
    case UCI_CMD_REMOVE:
        return !remove(ctx, &ptr, false);
    case UCI_CMD_RENAME:
        return value && !rename(ctx, &ptr, false);
    case UCI_CMD_LIST_ADD:
        return value && !add_list(ctx, &ptr, false);
    case UCI_CMD_LIST_DEL:
        return value && !del_list(ctx, &ptr, false);
    case UCI_CMD_REORDER: {
        uci_element *e = find(&p->sections, section);
        if (!e || !value)
            return false;
        reorder(uci_to_section(e), static_cast<int>(strtoul(value, nullptr, 10)));
        return true;
    }
    default:
        return false;
    }
}

// Calls fn on each change line of text that parses; a damaged line is
// skipped, as the router's library does. False if there was one.
template <class F> bool each_tuple(uci_context *ctx, std::string_view text, F fn)
{
    Reader rd(text);
    bool whole = true;
    while (rd.next_line()) {
        if (!*rd.rest())
            continue;
        long off = rd.word();
        Tuple t;
        // One word a line, nothing after it, not even a blank.
        if (off >= 0 && !*rd.rest() && parse_tuple(ctx, rd.str(off), t))
            fn(t);
        else
            whole = false;
    }
    return whole;
}

std::string delta_line(const char *package, const uci_delta *d)
{
    std::string out = std::string(prefix_of(d->cmd)) + package + "." + d->section;
    if (d->e.name)
        out += std::string(".") + d->e.name;
    if (d->value)
        out += "=" + quote(d->value);
    return out + "\n";
}

// The mode a new file for package gets: that of its configuration file.
mode_t file_mode(const uci_context *ctx, const char *package)
{
    struct stat st{};
    std::string conf = std::string(ctx->confdir) + "/" + package;
    return stat(conf.c_str(), &st) == 0 ? st.st_mode & 07777 : UCI_FILEMODE;
}

} // namespace

std::string delta_text(const uci_package *p, const uci_list *deltas)
{
    std::string out;
    uci_element *e;
    uci_foreach_element(deltas, e)
        out += delta_line(p->e.name, uci_to_delta(e));
    return out;
}

int replay_text(uci_context *ctx, uci_package *p, std::string_view text, uci_list *keep)
{
    int applied = 0;
    each_tuple(ctx, text, [&](Tuple &t) {
        if (strcmp(t.ptr.package, p->e.name))
            return;
        // Listed as a change even when it no longer applies.
        if (keep)
            delta_add(keep, t.cmd, t.ptr.section, t.ptr.option, t.ptr.value);
        if (apply(ctx, p, t.cmd, t.ptr.section, t.ptr.option, t.ptr.value))
            applied++;
    });
    return applied;
}

int save(uci_context *ctx, uci_package *p)
{
    if (uci_list_empty(&p->delta))
        return UCI_OK;
    // One level only, with the configuration folder's mode.
    struct stat st{};
    if (stat(ctx->savedir, &st) < 0) {
        struct stat conf{};
        mkdir(ctx->savedir, stat(ctx->confdir, &conf) == 0 ? conf.st_mode & 07777 : UCI_DIRMODE);
    } else if (!S_ISDIR(st.st_mode)) {
        return fail(ctx, UCI_ERR_IO);
    }
    io::Fd fd(open(delta_path(ctx, p->e.name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                   file_mode(ctx, p->e.name)));
    if (fd.get() < 0 || flock(fd.get(), LOCK_EX) < 0)
        return fail(ctx, UCI_ERR_IO);
    if (!io::write_all(fd.get(), delta_text(p, &p->delta)))
        return fail(ctx, UCI_ERR_IO);
    // The file holds them now; a reload lists them as saved.
    while (!uci_list_empty(&p->delta))
        free_element(list_to_element(p->delta.next));
    return UCI_OK;
}

namespace {

// Rewrites the save dir's file of package without the changes under
// section (and option); a missing file has nothing to drop. As on the
// router, a damaged line leaves the file as it is.
void filter(uci_context *ctx, const char *package, const char *section, const char *option)
{
    io::Fd fd(open(delta_path(ctx, package).c_str(), O_RDWR | O_CLOEXEC));
    std::string text;
    if (fd.get() < 0 || flock(fd.get(), LOCK_EX) < 0 || !io::read_all(fd.get(), text))
        return;
    std::string kept;
    bool whole = each_tuple(ctx, text, [&](Tuple &t) {
        bool match = (!section || !strcmp(section, t.ptr.section)) &&
                     (!option || (t.ptr.option && !strcmp(option, t.ptr.option)));
        if (match)
            return;
        uci_delta d{};
        d.e.name = const_cast<char *>(t.ptr.option);
        d.cmd = t.cmd;
        d.section = const_cast<char *>(t.ptr.section);
        d.value = const_cast<char *>(t.ptr.value);
        kept += delta_line(package, &d);
    });
    if (whole && ftruncate(fd.get(), 0) == 0 && lseek(fd.get(), 0, SEEK_SET) == 0)
        io::write_all(fd.get(), kept);
}

} // namespace

} // namespace uci

using namespace uci;

extern "C" int uci_save(uci_context *ctx, uci_package *p)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    if (!p)
        return fail(ctx, UCI_ERR_INVAL);
    return guarded(ctx, [&]() -> int { return save(ctx, p); });
}

extern "C" int uci_revert(uci_context *ctx, uci_ptr *ptr)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    return guarded(ctx, [&]() -> int {
        int r = expand(ctx, ptr, false);
        if (r)
            return r;
        if (!ptr->p->has_delta)
            return fail(ctx, UCI_ERR_INVAL);
        if ((r = save(ctx, ptr->p)))
            return r;
        // The names may live in the package about to be freed.
        std::string package = ptr->p->e.name;
        std::string section = ptr->section ? ptr->section : "";
        std::string option = ptr->option ? ptr->option : "";
        bool has_s = ptr->section, has_o = ptr->option;
        free_element(&ptr->p->e);
        *ptr = uci_ptr{};
        filter(ctx, package.c_str(), has_s ? section.c_str() : nullptr,
               has_o ? option.c_str() : nullptr);
        if ((r = load(ctx, package.c_str(), &ptr->p)))
            return r;
        ptr->last = &ptr->p->e;
        ptr->flags = uci_ptr::UCI_LOOKUP_DONE;
        return UCI_OK;
    });
}
