// Configuration files: package, config, option and list statements.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "guard.h"
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
    bool single = true;    // "package" lines name nothing
    bool track = false;    // statements become changes of p
    bool merge = false;    // p is already in the context
    const char *name = nullptr;  // the package before any "package" line

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

    // Ends the current package: it joins the context.
    void finish()
    {
        if (p && !merge)
            list_insert(&ctx->root, &p->e.list);
        p = nullptr;
        cur = nullptr;
    }

    bool start(const char *pkg)
    {
        finish();
        if (find(&ctx->root, pkg)) {
            reason = "duplicate package";
            return false;
        }
        p = package_new(ctx, pkg);
        merge = false;
        return true;
    }

    bool package()
    {
        std::string pkg;
        if (!arg(pkg, true))
            return false;
        if (!valid_package(pkg.c_str())) {
            reason = "invalid character in name field";
            at_word = true;
            return false;
        }
        // A file holds one package, named after the file.
        return single || start(pkg.c_str());
    }

    bool config()
    {
        std::string type, name;
        if (!p && !(this->name && start(this->name))) {
            if (!reason)
                reason = "attempting to import a file without a package name";
            return false;
        }
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
            if (track)
                delta_add(&p->delta, UCI_CMD_ADD, cur->e.name, nullptr, cur->type);
            return true;
        }
        if (!valid_name(name.c_str())) {
            reason = "invalid character in name field";
            at_word = true;
            return false;
        }
        // A repeated name continues the earlier section, of the same type.
        uci_element *old = find(&p->sections, name.c_str());
        if (old && (ctx->flags & UCI_FLAG_STRICT) && strcmp(uci_to_section(old)->type, type.c_str())) {
            reason = "section of different type overwrites prior section with same name";
            return false;
        }
        uci_ptr ptr{};
        ptr.p = p;
        ptr.section = name.c_str();
        ptr.value = type.c_str();
        if (set(ctx, &ptr, track)) {
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
        if ((list ? add_list(ctx, &ptr, track) : set(ctx, &ptr, track)) != UCI_OK) {
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
        drop_parse(ctx);
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

int parse_text(uci_context *ctx, uci_package **p, const char *name, std::string_view text,
               bool single, bool track)
{
    Parser ps{ctx, *p, Lexer(text)};
    ps.single = single;
    ps.merge = *p != nullptr;
    ps.track = track;
    ps.name = name;
    int r = ps.run();
    if (r) {
        if (!ps.merge && ps.p)
            free_element(&ps.p->e);
        return r;
    }
    if (!ps.p && name && !ps.start(name))
        return fail(ctx, UCI_ERR_DUPLICATE);
    uci_package *last = ps.p;
    ps.finish();
    *p = last;
    return UCI_OK;
}

} // namespace uci

using namespace uci;

extern "C" int uci_import(uci_context *ctx, FILE *stream, const char *name, uci_package **package,
                          bool single)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    if (!stream || (name && !valid_package(name)))
        return fail(ctx, UCI_ERR_INVAL);
    return guarded(ctx, [&]() -> int {
        std::string text;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), stream)) > 0)
            text.append(buf, n);
        if (ferror(stream))
            return fail(ctx, UCI_ERR_IO);
        uci_package *p = package && single ? *package : nullptr;
        int r = parse_text(ctx, &p, name, text, single, p != nullptr);
        if (!r && package)
            *package = p;
        return r;
    });
}
