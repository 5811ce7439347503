// Host build of the router's uci command. Changes made by set, add,
// add_list, del_list, rename and delete wait in the save dir until a
// commit, which may run in another process.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "uci_cli.h"

namespace {

int usage()
{
    fputs("Usage: uci [<options>] <command> [<arguments>]\n\n"
          "Commands:\n"
          "\tget      <config>.<section>[.<option>]\n"
          "\tset      <config>.<section>[.<option>]=<value>\n"
          "\tadd      <config> <section-type>\n"
          "\tadd_list <config>.<section>.<option>=<string>\n"
          "\tdel_list <config>.<section>.<option>=<string>\n"
          "\trename   <config>.<section>[.<option>]=<name>\n"
          "\tdelete   <config>.<section>[.<option>[=<index>]]\n"
          "\tcommit   [<config>]\n"
          "\tchanges  [<config>]\n"
          "\tshow     [<config>[.<section>[.<option>]]]\n"
          "\texport   [<config>]\n\n"
          "Options:\n"
          "\t-c <path>  configuration directory (default /etc/config)\n"
          "\t-P <path>  directory of uncommitted changes (default /tmp/.uci)\n"
          "\t-d <str>   list delimiter of get and show (default ' ')\n"
          "\t-n / -N    name / do not name unnamed sections on export\n"
          "\t-q         no error messages\n"
          "\t-X         real names of unnamed sections in show\n",
          stderr);
    return 255;
}

struct Ctx {
    uci_context *c = uci_alloc_context();
    ~Ctx() { uci_free_context(c); }
};

enum class Op { get, set, add_list, del_list, rename, del };

int get(const Cli &c, uci_ptr &ptr)
{
    if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE)) {
        c.ctx->err = UCI_ERR_NOTFOUND;
        return c.error();
    }
    if (ptr.last->type == UCI_TYPE_SECTION) {
        printf("%s\n", ptr.s->type);
    } else if (ptr.last->type == UCI_TYPE_OPTION) {
        print_value(c, ptr.o, false);
        putchar('\n');
    }
    return 0;
}

int edit(Cli &c, char *arg, Op op)
{
    uci_ptr ptr{};
    if (uci_lookup_ptr(c.ctx, &ptr, arg, true) != UCI_OK)
        return c.error();
    if (op == Op::get) {
        if (ptr.value) {
            c.ctx->err = UCI_ERR_INVAL;
            return c.error();
        }
        return get(c, ptr);
    }
    int r = UCI_OK;
    switch (op) {
    case Op::set: r = uci_set(c.ctx, &ptr); break;
    case Op::add_list: r = uci_add_list(c.ctx, &ptr); break;
    case Op::del_list: r = uci_del_list(c.ctx, &ptr); break;
    case Op::rename: r = uci_rename(c.ctx, &ptr); break;
    case Op::del: r = uci_delete(c.ctx, &ptr); break;
    case Op::get: break;
    }
    if (r == UCI_OK)
        r = uci_save(c.ctx, ptr.p);
    return r == UCI_OK ? 0 : c.error();
}

int add(Cli &c, char **argv)
{
    uci_package *p = nullptr;
    uci_section *s = nullptr;
    if (uci_load(c.ctx, argv[0], &p) != UCI_OK || uci_add_section(c.ctx, p, argv[1], &s) != UCI_OK ||
        uci_save(c.ctx, p) != UCI_OK)
        return c.error();
    printf("%s\n", s->e.name);
    return 0;
}

// Runs fn on the package named by arg, or on every package when arg is null.
template <class F> int each_package(Cli &c, char *arg, F fn)
{
    if (arg) {
        uci_ptr ptr{};
        if (uci_lookup_ptr(c.ctx, &ptr, arg, true) != UCI_OK)
            return c.error();
        return fn(ptr);
    }
    char **list = nullptr;
    if (uci_list_configs(c.ctx, &list) != UCI_OK)
        return c.error();
    int status = 0;
    for (char **name = list; *name; name++) {
        uci_ptr ptr{};
        if (uci_load(c.ctx, *name, &ptr.p) != UCI_OK) {
            status = c.error();
            continue;
        }
        ptr.last = &ptr.p->e;
        ptr.flags = uci_ptr::UCI_LOOKUP_COMPLETE;
        if (fn(ptr))
            status = 1;
    }
    free(list);
    return status;
}

int show(Cli &c, char *arg)
{
    return each_package(c, arg, [&](uci_ptr &ptr) {
        if (!(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE)) {
            c.ctx->err = UCI_ERR_NOTFOUND;
            return c.error();
        }
        switch (ptr.last->type) {
        case UCI_TYPE_PACKAGE: show_package(c, ptr.p); break;
        case UCI_TYPE_SECTION: show_section(c, ptr.s); break;
        case UCI_TYPE_OPTION: show_option(c, ptr.o); break;
        default: break;
        }
        return 0;
    });
}

int run(Cli &c, std::string_view cmd, int argc, char **argv)
{
    char *arg = argc > 0 ? argv[0] : nullptr;
    struct Edit {
        const char *name;
        Op op;
    };
    static constexpr Edit EDITS[] = {
        {"get", Op::get},           {"set", Op::set},           {"add_list", Op::add_list},
        {"del_list", Op::del_list}, {"rename", Op::rename},     {"delete", Op::del},
    };
    for (const Edit &e : EDITS) {
        if (cmd == e.name)
            return argc == 1 ? edit(c, arg, e.op) : usage();
    }
    if (cmd == "add")
        return argc == 2 ? add(c, argv) : usage();
    if (argc > 1)
        return usage();
    if (cmd == "show")
        return show(c, arg);
    if (cmd == "export")
        return each_package(c, arg, [&](uci_ptr &ptr) {
            return uci_export(c.ctx, stdout, ptr.p, true) == UCI_OK ? 0 : c.error();
        });
    if (cmd == "changes")
        return each_package(c, arg, [](uci_ptr &ptr) {
            show_changes(ptr.p);
            return 0;
        });
    if (cmd == "commit")
        return each_package(c, arg, [&](uci_ptr &ptr) {
            return uci_commit(c.ctx, &ptr.p, false) == UCI_OK ? 0 : c.error();
        });
    return usage();
}

} // namespace

int Cli::error() const
{
    if (!quiet)
        uci_perror(ctx, "uci");
    return 1;
}

int main(int argc, char **argv)
{
    Ctx ctx;
    if (!ctx.c) {
        fputs("uci: Out of memory\n", stderr);
        return 1;
    }
    Cli c;
    c.ctx = ctx.c;
    int opt;
    while ((opt = getopt(argc, argv, "+c:d:P:qXnN")) != -1) {
        switch (opt) {
        case 'c': uci_set_confdir(c.ctx, optarg); break;
        case 'P': uci_set_savedir(c.ctx, optarg); break;
        case 'd': c.delim = optarg; break;
        case 'q': c.quiet = true; break;
        case 'X': c.names = true; break;
        case 'n': c.ctx->flags = static_cast<uci_flags>(c.ctx->flags | UCI_FLAG_EXPORT_NAME); break;
        case 'N': c.ctx->flags = static_cast<uci_flags>(c.ctx->flags & ~UCI_FLAG_EXPORT_NAME); break;
        default: return usage();
        }
    }
    if (optind >= argc)
        return usage();
    int status = run(c, argv[optind], argc - optind - 1, argv + optind + 1);
    if (fflush(stdout) != 0)
        return 1;
    return status;
}
