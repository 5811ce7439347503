// Configuration files: package, config, option and list statements.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "lexer.h"
#include "uci_int.h"

namespace uci {

namespace {

struct Parser {
    uci_context *ctx;
    uci_package *p;
    Lexer lx;
    uci_section *cur = nullptr;
    const char *reason = nullptr;
    bool at_word = false;  // the error lies in the last word read

    bool arg(std::string &out, bool required)
    {
        if (lx.word(out))
            return true;
        if (lx.error())
            reason = lx.error();
        else if (required)
            reason = "missing argument";
        return !reason;
    }

    bool package()
    {
        std::string name;
        // One package per file: the name comes from the file.
        return arg(name, true);
    }

    bool config()
    {
        std::string type, name;
        if (!arg(type, true))
            return false;
        if (!valid_type(type.c_str())) {
            reason = "invalid character in type field";
            at_word = true;
            return false;
        }
        if (!arg(name, false))
            return false;
        if (name.empty()) {
            cur = section_new(p, type.c_str(), nullptr);
            return true;
        }
        if (!valid_name(name.c_str())) {
            reason = "invalid character in name field";
            at_word = true;
            return false;
        }
        // A repeated name continues the earlier section.
        uci_ptr ptr{};
        ptr.p = p;
        ptr.section = name.c_str();
        ptr.value = type.c_str();
        if (set(ctx, &ptr, false)) {
            reason = "invalid section";
            return false;
        }
        cur = ptr.s;
        return true;
    }

    bool option(bool list)
    {
        std::string name, value;
        if (!cur) {
            reason = "option/list command found before the first section";
            at_word = true;
            return false;
        }
        if (!arg(name, true))
            return false;
        if (!valid_name(name.c_str())) {
            reason = "invalid character in name field";
            at_word = true;
            return false;
        }
        if (!arg(value, false))
            return false;
        uci_ptr ptr{};
        ptr.p = p;
        ptr.s = cur;
        ptr.option = name.c_str();
        ptr.value = value.c_str();
        if ((list ? add_list(ctx, &ptr, false) : set(ctx, &ptr, false)) != UCI_OK) {
            reason = "invalid option";
            return false;
        }
        return true;
    }

    bool statement(std::string_view kw)
    {
        if (kw == "package" || kw == "p")
            return package();
        if (kw == "config" || kw == "c")
            return config();
        if (kw == "option" || kw == "o")
            return option(false);
        if (kw == "list" || kw == "l")
            return option(true);
        reason = "invalid command";
        at_word = true;
        return false;
    }

    int error()
    {
        auto *pc = static_cast<uci_parse_context *>(calloc(1, sizeof(uci_parse_context)));
        if (!pc)
            return fail(ctx, UCI_ERR_MEM);
        pc->reason = reason;
        pc->line = at_word ? lx.word_line() : lx.line();
        pc->byte = at_word ? lx.word_byte() : lx.byte();
        free(ctx->pctx);
        ctx->pctx = pc;
        return fail(ctx, UCI_ERR_PARSE);
    }

    int run()
    {
        std::string kw;
        while (!lx.done()) {
            if (!lx.word(kw)) {
                if (lx.error()) {
                    reason = lx.error();
                    return error();
                }
                lx.next_statement();
                continue;
            }
            if (!statement(kw))
                return error();
            if (!lx.at_end_of_statement()) {
                reason = "too many arguments";
                return error();
            }
            lx.next_statement();
        }
        return UCI_OK;
    }
};

} // namespace

int parse_config(uci_context *ctx, uci_package *p, std::string_view text)
{
    Parser ps{ctx, p, Lexer(text)};
    return ps.run();
}

} // namespace uci
