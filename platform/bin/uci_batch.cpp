// uci batch (one command a line from the input) and uci import.
#include <strings.h>

#include <string>
#include <vector>

#include "uci_cli.h"

namespace {

constexpr int MAX_WORDS = 4;  // the limit counts the empty word ending the line
constexpr int EXIT = 254;

void unload_all(uci_context *ctx)
{
    while (!uci_list_empty(&ctx->root))
        uci_unload(ctx, uci_to_package(list_to_element(ctx->root.next)));
}

int batch_line(Cli &c)
{
    std::vector<std::string> words;
    char *str = nullptr;
    for (;;) {
        if (words.size() == MAX_WORDS) {
            c.say("Too many arguments\n");
            return 1;
        }
        char *w = nullptr;
        if (uci_parse_argument(c.ctx, c.input, &str, &w) != UCI_OK) {
            c.error();
            return 0;
        }
        if (!*w)
            break;
        words.emplace_back(w);
    }
    if (words.empty())
        return 0;
    if (!strcasecmp(words[0].c_str(), "exit"))
        return EXIT;
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return run_command(c, static_cast<int>(words.size()), argv.data());
}

} // namespace

// Every line's status is dropped; batch itself succeeds.
int run_batch(Cli &c)
{
    c.batch = true;
    while (!feof(c.input)) {
        int r = batch_line(c);
        if (r == EXIT)
            break;
        if (r == 255)
            c.say("Unknown command\n");
        unload_all(c.ctx);
    }
    c.batch = false;
    return 0;
}

// Without -m the input replaces the packages it holds; with -m it is
// merged into the named package as uncommitted changes.
int run_import(Cli &c, int argc, char **argv)
{
    if (argc > 2)
        return 255;
    const char *name = argc == 2 ? argv[1] : nullptr;
    if (!name && c.merge)
        return 255;
    uci_package *p = nullptr;
    bool merge = c.merge && uci_load(c.ctx, name, &p) == UCI_OK;
    if (!merge)
        p = nullptr;
    int r = uci_import(c.ctx, c.input, name, &p, name != nullptr);
    if (r == UCI_OK && merge) {
        r = uci_save(c.ctx, p);
    } else if (r == UCI_OK) {
        uci_element *e;
        uci_foreach_element(&c.ctx->root, e) {
            uci_package *each = uci_to_package(e);
            r = uci_commit(c.ctx, &each, true);
        }
    }
    return r == UCI_OK ? 0 : c.error();
}
