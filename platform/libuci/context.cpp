// Contexts, their directories and the error texts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "reader.h"
#include "uci_int.h"

namespace uci {

void begin(uci_context *ctx)
{
    ctx->err = UCI_OK;
    drop_parse(ctx);
}

void drop_parse(uci_context *ctx)
{
    if (!ctx->pctx)
        return;
    delete ctx->pctx->reader;
    free(ctx->pctx);
    ctx->pctx = nullptr;
}

int fail(uci_context *ctx, int err)
{
    ctx->err = err;
    return err;
}

std::string delta_path(const uci_context *ctx, const char *package)
{
    return std::string(ctx->savedir) + "/" + package;
}

} // namespace uci

using namespace uci;

namespace {

constexpr const char *ERRSTR[] = {
    "Success",       "Out of memory", "Invalid argument", "Entry not found",
    "I/O error",     "Parse error",   "Duplicate entry",  "Unknown error",
};
static_assert(sizeof(ERRSTR) / sizeof(ERRSTR[0]) == UCI_ERR_LAST);

// Host seam: tests point the default directories at private folders.
const char *env_or(const char *name, const char *fallback)
{
    const char *v = getenv(name);
    return v && *v ? v : fallback;
}

int set_dir(uci_context *ctx, char **field, const char *dir)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    if (!dir || !*dir)
        return fail(ctx, UCI_ERR_INVAL);
    char *d = strdup(dir);
    if (!d)
        return fail(ctx, UCI_ERR_MEM);
    free(*field);
    *field = d;
    return UCI_OK;
}

uci_element *path_new(const char *dir)
{
    auto *e = static_cast<uci_element *>(calloc(1, sizeof(uci_element)));
    if (!e)
        return nullptr;
    e->type = UCI_TYPE_PATH;
    e->name = strdup(dir);
    if (!e->name) {
        free(e);
        return nullptr;
    }
    list_init(&e->list);
    return e;
}

std::string error_text(uci_context *ctx, const char *prefix)
{
    int err = ctx ? ctx->err : UCI_ERR_INVAL;
    if (err < 0 || err >= UCI_ERR_LAST)
        err = UCI_ERR_UNKNOWN;
    std::string s;
    if (prefix)
        s += std::string(prefix) + ": ";
    if (ctx && ctx->func)
        s += std::string(ctx->func) + ": ";
    s += ERRSTR[err];
    if (err == UCI_ERR_PARSE && ctx->pctx) {
        char info[160];
        snprintf(info, sizeof(info), " (%s) at line %d, byte %zu",
                 ctx->pctx->reason ? ctx->pctx->reason : "unknown", ctx->pctx->line,
                 ctx->pctx->byte);
        s += info;
    }
    return s;
}

} // namespace

extern "C" {

uci_context *uci_alloc_context(void)
{
    auto *ctx = static_cast<uci_context *>(calloc(1, sizeof(uci_context)));
    if (!ctx)
        return nullptr;
    list_init(&ctx->root);
    list_init(&ctx->backends);
    list_init(&ctx->delta_path);
    ctx->flags = static_cast<uci_flags>(UCI_FLAG_STRICT | UCI_FLAG_SAVED_DELTA);
    ctx->confdir = strdup(env_or("HOST_UCI_CONFDIR", UCI_CONFDIR));
    ctx->savedir = strdup(env_or("HOST_UCI_SAVEDIR", UCI_SAVEDIR));
    // The default save dir stays a source of changes when another one
    // becomes the save dir.
    uci_element *path = ctx->savedir ? path_new(ctx->savedir) : nullptr;
    if (!ctx->confdir || !path) {
        uci_free_context(ctx);
        return nullptr;
    }
    list_insert(&ctx->delta_path, &path->list);
    return ctx;
}

void uci_free_context(uci_context *ctx)
{
    if (!ctx)
        return;
    while (!uci_list_empty(&ctx->root))
        free_element(list_to_element(ctx->root.next));
    while (!uci_list_empty(&ctx->delta_path))
        free_element(list_to_element(ctx->delta_path.next));
    drop_parse(ctx);
    free(ctx->confdir);
    free(ctx->savedir);
    free(ctx->buf);
    free(ctx);
}

int uci_set_confdir(uci_context *ctx, const char *dir)
{
    return set_dir(ctx, ctx ? &ctx->confdir : nullptr, dir);
}

// The save dir is also the last place changes are read from.
int uci_set_savedir(uci_context *ctx, const char *dir)
{
    int r = set_dir(ctx, ctx ? &ctx->savedir : nullptr, dir);
    if (r)
        return r;
    uci_element *e = find(&ctx->delta_path, dir);
    if (e)
        list_del(&e->list);
    else if (!(e = path_new(dir)))
        return fail(ctx, UCI_ERR_MEM);
    list_insert(&ctx->delta_path, &e->list);
    return UCI_OK;
}

// Another folder of changes, read before the save dir's.
int uci_add_delta_path(uci_context *ctx, const char *dir)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    if (!dir || !*dir)
        return fail(ctx, UCI_ERR_INVAL);
    if (find(&ctx->delta_path, dir))
        return fail(ctx, UCI_ERR_DUPLICATE);
    uci_element *e = path_new(dir);
    if (!e)
        return fail(ctx, UCI_ERR_MEM);
    list_insert(ctx->delta_path.prev, &e->list);
    return UCI_OK;
}

void uci_get_errorstr(uci_context *ctx, char **dest, const char *prefix)
{
    if (!dest) {
        uci_perror(ctx, prefix);
        return;
    }
    try {
        *dest = strdup(error_text(ctx, prefix).c_str());
    } catch (...) {
        *dest = nullptr;
    }
}

void uci_perror(uci_context *ctx, const char *prefix)
{
    try {
        fprintf(stderr, "%s\n", error_text(ctx, prefix).c_str());
    } catch (...) {
    }
}

} // extern "C"
