// Host build of the router's uci command. Changes made by set, add,
// add_list, del_list, rename, reorder and delete wait in the save dir
// until a commit, which may run in another process.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "uci_cli.h"

// Same commands, options and exit statuses as the router's; the wording
// of the descriptions is this program's own.
void usage(const Cli &c)
{
    fprintf(stderr,
            "Usage: %s [<options>] <command> [<arguments>]\n\n"
            "Commands:\n"
            "\tbatch\n"
            "\texport     [<config>]\n"
            "\timport     [<config>]\n"
            "\tchanges    [<config>]\n"
            "\tcommit     [<config>]\n"
            "\tadd        <config> <section-type>\n"
            "\tadd_list   <config>.<section>.<option>=<string>\n"
            "\tdel_list   <config>.<section>.<option>=<string>\n"
            "\tshow       [<config>[.<section>[.<option>]]]\n"
            "\tget        <config>.<section>[.<option>]\n"
            "\tset        <config>.<section>[.<option>]=<value>\n"
            "\tdelete     <config>[.<section>[[.<option>][=<id>]]]\n"
            "\trename     <config>.<section>[.<option>]=<name>\n"
            "\trevert     <config>[.<section>[.<option>]]\n"
            "\treorder    <config>.<section>=<position>\n"
            "\n"
            "Options:\n"
            "\t-c <path>  folder of the configuration files (default: /etc/config)\n"
            "\t-d <str>   separator of list items in show and get\n"
            "\t-f <file>  read batch or import input from <file>, not stdin\n"
            "\t-m         import into the existing package, as changes\n"
            "\t-n         export unnamed sections with their names (default)\n"
            "\t-N         export unnamed sections without names\n"
            "\t-p <path>  also read change files from <path>\n"
            "\t-P <path>  also read change files from <path> and save there; commit does nothing\n"
            "\t-t <path>  save change files in <path>\n"
            "\t-q         print no error messages\n"
            "\t-s         stop at the first parse error (default)\n"
            "\t-S         report parse errors and read on\n"
            "\t-X         real names of unnamed sections in show\n"
            "\n",
            c.app);
}

namespace {

struct Ctx {
    uci_context *c = uci_alloc_context();
    ~Ctx()
    {
        if (c)
            uci_free_context(c);
    }
};

struct Input {
    FILE *f = nullptr;
    ~Input()
    {
        if (f)
            fclose(f);
    }
};

void set_flag(uci_context *ctx, int on, int off)
{
    ctx->flags = static_cast<uci_flags>((ctx->flags | on) & ~off);
}

// Applies one option; false ends the run with status.
bool option(Cli &c, Input &in, int opt, int &status)
{
    switch (opt) {
    case 'c': uci_set_confdir(c.ctx, optarg); break;
    case 'd': c.delim = optarg; break;
    case 'f':
        if (in.f) {
            c.say("Too many input files.\n");
            status = 1;
            return false;
        }
        if (!(in.f = fopen(optarg, "r"))) {
            c.say("uci: %s", strerror(errno));
            status = 1;
            return false;
        }
        c.input = in.f;
        break;
    case 'm': c.merge = true; break;
    case 's': set_flag(c.ctx, UCI_FLAG_STRICT, 0); break;
    case 'S': set_flag(c.ctx, UCI_FLAG_PERROR, UCI_FLAG_STRICT); break;
    case 'n': set_flag(c.ctx, UCI_FLAG_EXPORT_NAME, 0); break;
    case 'N': set_flag(c.ctx, 0, UCI_FLAG_EXPORT_NAME); break;
    case 'p': uci_add_delta_path(c.ctx, optarg); break;
    case 'P':
        // The old save dir's changes stay visible; nothing is committed.
        uci_add_delta_path(c.ctx, c.ctx->savedir);
        uci_set_savedir(c.ctx, optarg);
        c.nocommit = true;
        break;
    case 'q': c.quiet = true; break;
    case 't': uci_set_savedir(c.ctx, optarg); break;
    case 'X': c.show_ext = false; break;
    default:
        // A bad option (or -L, which is accepted but means nothing) shows
        // the usage and succeeds, as on the router.
        usage(c);
        status = 0;
        return false;
    }
    return true;
}

} // namespace

int Cli::error() const
{
    if (!quiet)
        uci_perror(ctx, app);
    return 1;
}

void Cli::say(const char *fmt, ...) const
{
    if (quiet)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

int main(int argc, char **argv)
{
    Cli c;
    c.app = argv[0];
    Ctx ctx;
    if (!ctx.c) {
        fputs("Out of memory\n", stderr);
        return 1;
    }
    c.ctx = ctx.c;
    Input in;
    int opt;
    while ((opt = getopt(argc, argv, "c:d:f:LmnNp:P:qsSt:X")) != -1) {
        int status = 0;
        if (!option(c, in, opt, status))
            return status;
    }
    if (optind >= argc) {
        usage(c);
        return 0;
    }
    int status = run_command(c, argc - optind, argv + optind);
    if (status == 255)
        usage(c);
    if (fflush(stdout) != 0)
        return 1;
    return status;
}
