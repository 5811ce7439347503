// Words of lines read from a stream, for the batch mode of the uci
// command: the configuration file's quoting, a quote may span lines.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "guard.h"
#include "lexer.h"
#include "uci_int.h"

namespace {

// One statement's text: further lines while a quote or a trailing
// backslash leaves it open.
std::string read_statement(FILE *f)
{
    std::string text;
    char buf[512];
    while (fgets(buf, sizeof(buf), f)) {
        text += buf;
        if (text.back() != '\n')
            continue;
        uci::Lexer lx(text);
        std::string w;
        while (lx.word(w)) {
        }
        bool open = lx.error() || (text.size() > 1 && text[text.size() - 2] == '\\');
        if (!open)
            break;
    }
    return text;
}

} // namespace

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
            ctx->pctx = static_cast<uci_parse_context *>(calloc(1, sizeof(uci_parse_context)));
            if (!ctx->pctx)
                return fail(ctx, UCI_ERR_MEM);
            ctx->pctx->file = stream;
        }
        uci_parse_context *pc = ctx->pctx;
        if (!*str || !pc->text) {
            free(pc->text);
            pc->text = strdup(read_statement(stream).c_str());
            pc->pos = 0;
            pc->line++;
            if (!pc->text)
                return fail(ctx, UCI_ERR_MEM);
        }
        Lexer lx(pc->text + pc->pos);
        std::string w;
        bool got = lx.word(w);
        if (lx.error()) {
            pc->reason = lx.error();
            pc->byte = pc->pos + lx.byte();
            return fail(ctx, UCI_ERR_PARSE);
        }
        pc->pos += lx.pos();
        free(pc->word);
        pc->word = strdup(got ? w.c_str() : "");
        if (!pc->word)
            return fail(ctx, UCI_ERR_MEM);
        *result = pc->word;
        *str = pc->text + pc->pos;
        return UCI_OK;
    });
}
