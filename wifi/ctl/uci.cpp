// Reads one option of UCI package wireless; every read has its own context.
#include <uci.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "qx_wifi_ctl.h"

namespace {

struct ctx_deleter {
    void operator()(uci_context *ctx) const { uci_free_context(ctx); }
};
using uci_ctx = std::unique_ptr<uci_context, ctx_deleter>;

constexpr size_t PATH_LEN = 128;

} // namespace

int qx_uci_get_option(const char *section, const char *option, char *out, size_t size)
{
    if (size)
        out[0] = '\0';
    if (!section || !option || !size)
        return -1;

    uci_ctx ctx(uci_alloc_context());
    if (!ctx)
        return -1;
    char path[PATH_LEN];
    int n = snprintf(path, sizeof(path), "wireless.%s", section);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path))
        return -1;

    // "@wifi-iface[N]" names the N-th section of its type.
    uci_ptr ptr{};
    if (uci_lookup_ptr(ctx.get(), &ptr, path, section[0] == '@') != UCI_OK)
        return -1;
    if (!ptr.s)
        return -1;

    uci_element *e = nullptr;
    if (uci_lookup_next(ctx.get(), &e, &ptr.s->options, option) != UCI_OK || !e)
        return 0;
    uci_option *o = uci_to_option(e);
    if (o->type != UCI_TYPE_STRING || !o->v.string)
        return 0;
    strncpy(out, o->v.string, size - 1);
    out[size - 1] = '\0';
    return 0;
}
