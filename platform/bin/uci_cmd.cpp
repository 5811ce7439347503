// The uci commands on one element, one package or all of them.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "uci_cli.h"

namespace {

enum class Cmd { get, set, add_list, del_list, del, rename, revert, reorder,
                 show, changes, exp, commit, add, import, help, batch };

struct Name {
    const char *name;
    Cmd cmd;
};

constexpr Name NAMES[] = {
    {"batch", Cmd::batch},     {"show", Cmd::show},       {"changes", Cmd::changes},
    {"export", Cmd::exp},      {"commit", Cmd::commit},   {"get", Cmd::get},
    {"set", Cmd::set},         {"ren", Cmd::rename},      {"rename", Cmd::rename},
    {"revert", Cmd::revert},   {"reorder", Cmd::reorder}, {"del", Cmd::del},
    {"delete", Cmd::del},      {"import", Cmd::import},   {"help", Cmd::help},
    {"add", Cmd::add},         {"add_list", Cmd::add_list}, {"del_list", Cmd::del_list},
};

// Only these take "=value"; get and revert given one fail quietly.
bool takes_value(Cmd cmd)
{
    return cmd == Cmd::set || cmd == Cmd::del || cmd == Cmd::add_list ||
           cmd == Cmd::del_list || cmd == Cmd::rename || cmd == Cmd::reorder;
}

int get(const Cli &c, uci_ptr &ptr)
{
    if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE)) {
        c.ctx->err = UCI_ERR_NOTFOUND;
        return c.error();
    }
    if (ptr.last->type == UCI_TYPE_SECTION)
        printf("%s\n", ptr.s->type);
    else if (ptr.last->type == UCI_TYPE_OPTION)
        show_value(c, ptr.o, false);
    return 0;
}

int element_cmd(Cli &c, Cmd cmd, char *arg)
{
    uci_ptr ptr{};
    if (uci_lookup_ptr(c.ctx, &ptr, arg, true) != UCI_OK)
        return c.error();
    if (ptr.value && !takes_value(cmd))
        return 1;
    int r = UCI_OK;
    int index;
    switch (cmd) {
    case Cmd::get: return get(c, ptr);
    case Cmd::revert: uci_revert(c.ctx, &ptr); return 0;
    case Cmd::set: r = uci_set(c.ctx, &ptr); break;
    case Cmd::add_list: r = uci_add_list(c.ctx, &ptr); break;
    case Cmd::del_list: r = uci_del_list(c.ctx, &ptr); break;
    case Cmd::rename: r = uci_rename(c.ctx, &ptr); break;
    case Cmd::reorder:
        if (!ptr.s || !ptr.value) {
            c.ctx->err = UCI_ERR_NOTFOUND;
            return c.error();
        }
        r = uci_reorder_section(c.ctx, ptr.s, static_cast<int>(strtoul(ptr.value, nullptr, 10)));
        break;
    case Cmd::del:
        // Only a value that is no number at all fails; an empty one
        // deletes the whole option, as on the router.
        if (ptr.value && sscanf(ptr.value, "%d", &index) == 0)
            return 1;
        r = uci_delete(c.ctx, &ptr);
        break;
    default: break;
    }
    if (r == UCI_OK)
        r = uci_save(c.ctx, ptr.p);
    return r == UCI_OK ? 0 : c.error();
}

int package_cmd(Cli &c, Cmd cmd, char *arg)
{
    uci_ptr ptr{};
    if (uci_lookup_ptr(c.ctx, &ptr, arg, true) != UCI_OK)
        return c.error();
    int status = 0;
    switch (cmd) {
    case Cmd::changes: show_changes(ptr.p); break;
    case Cmd::commit:
        if (!c.nocommit && uci_commit(c.ctx, &ptr.p, false) != UCI_OK)
            status = c.error();
        break;
    case Cmd::exp:
        // A failed export says nothing, as on the router.
        if (uci_export(c.ctx, stdout, ptr.p, true) != UCI_OK)
            status = 1;
        break;
    case Cmd::show:
        if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE)) {
            c.ctx->err = UCI_ERR_NOTFOUND;
            status = c.error();
        } else if (ptr.last->type == UCI_TYPE_PACKAGE) {
            show_package(c, ptr.p);
        } else if (ptr.last->type == UCI_TYPE_SECTION) {
            show_section(c, ptr.s);
        } else if (ptr.last->type == UCI_TYPE_OPTION) {
            show_option(c, ptr.o);
        }
        break;
    default: break;
    }
    if (ptr.p)
        uci_unload(c.ctx, ptr.p);
    return status;
}

// Without a package, every one in turn; their failures are printed but
// the command still succeeds, as on the router.
int packages_cmd(Cli &c, Cmd cmd, int argc, char **argv)
{
    if (argc > 2)
        return 255;
    if (argc == 2)
        return package_cmd(c, cmd, argv[1]);
    char **list = nullptr;
    if (uci_list_configs(c.ctx, &list) != UCI_OK || !list) {
        free(list);
        return c.error();
    }
    for (char **name = list; *name; name++)
        package_cmd(c, cmd, *name);
    free(list);
    return 0;
}

// Fails with the library's error code as the exit status.
int add(Cli &c, int argc, char **argv)
{
    if (argc != 3)
        return 255;
    uci_package *p = nullptr;
    uci_section *s = nullptr;
    int r = uci_load(c.ctx, argv[1], &p);
    if (r == UCI_OK)
        r = uci_add_section(c.ctx, p, argv[2], &s);
    if (r == UCI_OK)
        r = uci_save(c.ctx, p);
    if (r != UCI_OK) {
        c.error();
        return r;
    }
    printf("%s\n", s->e.name);
    return 0;
}

} // namespace

int run_command(Cli &c, int argc, char **argv)
{
    const Name *found = nullptr;
    for (const Name &n : NAMES) {
        if (!strcasecmp(argv[0], n.name))
            found = &n;
    }
    if (!found || (found->cmd == Cmd::batch && c.batch))
        return 255;
    switch (found->cmd) {
    case Cmd::batch: return run_batch(c);
    case Cmd::show:
    case Cmd::changes:
    case Cmd::exp:
    case Cmd::commit: return packages_cmd(c, found->cmd, argc, argv);
    case Cmd::import: return run_import(c, argc, argv);
    case Cmd::add: return add(c, argc, argv);
    case Cmd::help: usage(c); return 0;
    default: return argc == 2 ? element_cmd(c, found->cmd, argv[1]) : 255;
    }
}
