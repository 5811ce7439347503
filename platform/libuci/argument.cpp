// Words of lines read from a stream, for the batch mode of the uci
// command: the configuration file's quoting, a quote may span lines.
#include <cstdlib>
#include <new>

#include "guard.h"
#include "reader.h"
#include "uci_int.h"

using namespace uci;

extern "C" int uci_parse_argument(uci_context *ctx, FILE *stream, char **str, char **result)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    ctx->err = UCI_OK;
    if (!stream || !str || !result)
        return fail(ctx, UCI_ERR_INVAL);
    return guarded(ctx, [&]() -> int {
        if (ctx->pctx && ctx->pctx->file != stream)
            drop_parse(ctx);
        if (!ctx->pctx) {
            auto *pc = static_cast<uci_parse_context *>(calloc(1, sizeof(uci_parse_context)));
            if (!pc)
                return fail(ctx, UCI_ERR_MEM);
            ctx->pctx = pc;
            pc->file = stream;
            pc->reader = new Reader(stream);
        }
        uci_parse_context *pc = ctx->pctx;
        if (!*str)
            pc->reader->next_line();
        long off = pc->reader->word();
        if (off < 0) {
            pc->reason = pc->reader->reason();
            pc->line = pc->reader->line();
            pc->byte = pc->reader->byte();
            return fail(ctx, UCI_ERR_PARSE);
        }
        *result = pc->reader->str(off);
        *str = pc->reader->rest();
        return UCI_OK;
    });
}
