// Uncommitted changes: one line each in <savedir>/<package>, e.g.
//   ovimar.status.devId='x'   +pkg.cfg03dc81='zone'   -pkg.sec.opt
// so that a change made by one process can be committed by another.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "guard.h"
#include "io.h"
#include "lexer.h"
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

bool apply(uci_context *ctx, uci_package *p, uci_command cmd, const char *section,
           const char *option, const char *value)
{
    uci_ptr ptr{};
    ptr.p = p;
    ptr.package = p->e.name;
    ptr.section = section;
    ptr.option = option;
    ptr.value = value;
    if (!valid_name(section))
        return false;
    switch (cmd) {
    case UCI_CMD_ADD:
        if (option || !value || set(ctx, &ptr, false))
            return false;
        ptr.s->anonymous = true;
        return true;
    case UCI_CMD_CHANGE:
        return value && !set(ctx, &ptr, false);
    case UCI_CMD_REMOVE:
        return !remove(ctx, &ptr, false);
    case UCI_CMD_RENAME:
        return value && !rename(ctx, &ptr, false);
    case UCI_CMD_LIST_ADD:
        return value && !add_list(ctx, &ptr, false);
    case UCI_CMD_LIST_DEL:
        return value && !del_list(ctx, &ptr, false);
    default:
        return false;
    }
}

// One change line, "[prefix]package.section[.option][=value]".
bool apply_line(uci_context *ctx, uci_package *p, std::string line, uci_list *keep)
{
    uci_command cmd = UCI_CMD_CHANGE;
    size_t skip = 0;
    for (const Cmd &c : CMDS) {
        if (!line.empty() && line[0] == c.prefix) {
            cmd = c.cmd;
            skip = 1;
        }
    }
    std::vector<char> buf(line.begin() + static_cast<long>(skip), line.end());
    buf.push_back('\0');
    uci_ptr ptr{};
    if (parse_ptr(ctx, &ptr, buf.data()) || !ptr.section || strcmp(ptr.package, p->e.name))
        return false;
    if (!apply(ctx, p, cmd, ptr.section, ptr.option, ptr.value))
        return false;
    if (keep)
        delta_add(keep, cmd, ptr.section, ptr.option, ptr.value);
    return true;
}

} // namespace

std::string delta_text(const uci_package *p, const uci_list *deltas)
{
    std::string out;
    uci_element *e;
    uci_foreach_element(deltas, e) {
        const uci_delta *d = uci_to_delta(e);
        out += std::string(prefix_of(d->cmd)) + p->e.name + "." + d->section;
        if (e->name)
            out += std::string(".") + e->name;
        if (d->value)
            out += "=" + quote(d->value);
        out += "\n";
    }
    return out;
}

int replay_text(uci_context *ctx, uci_package *p, std::string_view text, uci_list *keep)
{
    Lexer lx(text);
    std::string line;
    int applied = 0;
    while (!lx.done()) {
        // A damaged line is skipped, as the router's library does.
        if (lx.word(line) && apply_line(ctx, p, line, keep))
            applied++;
        if (lx.error())
            break;
        lx.next_statement();
    }
    return applied;
}

int replay_list(uci_context *ctx, uci_package *p, const uci_list *deltas)
{
    int applied = 0;
    uci_element *e;
    uci_foreach_element(deltas, e) {
        const uci_delta *d = uci_to_delta(e);
        if (apply(ctx, p, d->cmd, d->section, e->name, d->value))
            applied++;
    }
    return applied;
}

} // namespace uci

using namespace uci;

extern "C" int uci_save(uci_context *ctx, uci_package *p)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    if (!p)
        return fail(ctx, UCI_ERR_INVAL);
    return guarded(ctx, [&]() -> int {
        if (uci_list_empty(&p->delta))
            return UCI_OK;
        if (!io::make_dirs(ctx->savedir, UCI_DIRMODE))
            return fail(ctx, UCI_ERR_IO);
        io::Fd fd(open(delta_path(ctx, p->e.name).c_str(),
                       O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, UCI_FILEMODE));
        if (fd.get() < 0 || flock(fd.get(), LOCK_EX) < 0)
            return fail(ctx, UCI_ERR_IO);
        if (!io::write_all(fd.get(), delta_text(p, &p->delta)))
            return fail(ctx, UCI_ERR_IO);
        // Saved changes stay listed for uci changes; the file holds them now.
        while (!uci_list_empty(&p->delta)) {
            uci_list *l = p->delta.next;
            list_del(l);
            if (ctx->flags & UCI_FLAG_SAVED_DELTA)
                list_insert(&p->saved_delta, l);
            else
                free_element(list_to_element(l));
        }
        return UCI_OK;
    });
}
