// Configuration files: package, config, option and list statements.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "guard.h"
#include "reader.h"
#include "uci_int.h"

namespace uci {

namespace {

bool valid_word(const char *s, bool package)
{
    return package ? valid_package(s) : valid_name(s);
}

struct Parser {
    uci_context *ctx;
    uci_package *p;
    Reader rd;
    uci_section *cur = nullptr;
    bool single = true;    // "package" lines name nothing
    bool track = false;    // statements become changes of p
    bool merge = false;    // p is already in the context
    const char *name = nullptr;  // the package before any "package" line
    int err = UCI_ERR_PARSE;

    bool strict() const { return ctx->flags & UCI_FLAG_STRICT; }

    // The next argument: empty if missing; names are checked as names.
    // Kept as an offset: a later argument may pull in a line and move
    // the buffer.
    bool arg(long &off, bool required, bool is_name = false, bool package = false)
    {
        off = rd.word();
        if (off < 0)
            return false;
        const char *s = rd.str(off);
        if (!*s)
            return !required || rd.fail("insufficient arguments");
        if (is_name && !valid_word(s, package))
            return rd.fail("invalid character in name field");
        return true;
    }

    bool end_of_statement()
    {
        long extra = 0;
        if (!arg(extra, false))
            return false;
        return !*rd.str(extra) || !strict() || rd.fail("too many arguments");
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
            err = UCI_ERR_DUPLICATE;
            return false;
        }
        p = package_new(ctx, pkg);
        merge = false;
        return true;
    }

    bool package(const char *kw)
    {
        long pkg = 0;
        if (!rd.past_keyword(kw))
            return rd.fail("package without name");
        if (!arg(pkg, true, true, true) || !end_of_statement())
            return false;
        // A file holds one package, named after the file.
        return single || start(rd.str(pkg));
    }

    bool config(const char *kw)
    {
        if (!p && !name)
            return rd.fail("attempting to import a file without a package name");
        if (!p && !start(name))
            return false;
        if (!rd.past_keyword(kw))
            return rd.fail("config without name");
        long toff = 0, soff = 0;
        if (!arg(toff, true))
            return false;
        if (!valid_type(rd.str(toff)))
            return rd.fail("invalid character in type field");
        if (!arg(soff, false, true) || !end_of_statement())
            return false;
        const char *type = rd.str(toff), *sec = rd.str(soff);
        if (!*sec) {
            cur = section_new(p, type, nullptr);
            if (track)
                delta_add(&p->delta, UCI_CMD_ADD, cur->e.name, nullptr, cur->type);
            return true;
        }
        // A repeated name continues the earlier section, of the same type.
        uci_element *old = find(&p->sections, sec);
        if (old && strict() && strcmp(uci_to_section(old)->type, type))
            return rd.fail("section of different type overwrites prior section with same name");
        uci_ptr ptr{};
        ptr.p = p;
        ptr.section = sec;
        ptr.value = type;
        if (set(ctx, &ptr, track))
            return rd.fail("invalid section");
        cur = ptr.s;
        return true;
    }

    bool option(const char *kw, bool list)
    {
        if (!cur)
            return rd.fail("option/list command found before the first section");
        if (!rd.past_keyword(kw))
            return rd.fail("option without name");
        long opt = 0, value = 0;
        if (!arg(opt, true, true) || !arg(value, false) || !end_of_statement())
            return false;
        uci_ptr ptr{};
        ptr.p = p;
        ptr.s = cur;
        ptr.option = rd.str(opt);
        ptr.value = rd.str(value);
        if ((list ? add_list(ctx, &ptr, track) : set(ctx, &ptr, track)) != UCI_OK)
            return rd.fail("invalid option");
        return true;
    }

    // The keyword, whole or by its first letter.
    bool statement(const char *kw)
    {
        struct Kw {
            char first;
            const char *rest;
            int what;
        };
        static constexpr Kw KWS[] = {
            {'p', "ackage", 0}, {'c', "onfig", 1}, {'o', "ption", 2}, {'l', "ist", 3}};
        for (const Kw &k : KWS) {
            if (kw[0] != k.first || (kw[1] && strcmp(kw + 1, k.rest)))
                continue;
            switch (k.what) {
            case 0: return package(kw);
            case 1: return config(kw);
            default: return option(kw, k.what == 3);
            }
        }
        return rd.fail("invalid command");
    }

    // One line: statements parted by a ';' that stands alone.
    bool line()
    {
        rd.skip_blanks();
        while (const char *kw = rd.keyword()) {
            if (kw[0] == '#')
                return true;
            if (!statement(kw))
                return false;
        }
        return true;
    }

    int error()
    {
        if (err != UCI_ERR_PARSE)
            return fail(ctx, err);
        auto *pc = static_cast<uci_parse_context *>(calloc(1, sizeof(uci_parse_context)));
        if (!pc)
            return fail(ctx, UCI_ERR_MEM);
        pc->reason = rd.reason();
        pc->line = rd.line();
        pc->byte = rd.byte();
        drop_parse(ctx);
        ctx->pctx = pc;
        return fail(ctx, UCI_ERR_PARSE);
    }

    // Without strict mode a bad line is reported, when asked, and skipped.
    int run()
    {
        while (rd.next_line()) {
            if (line())
                continue;
            if (err != UCI_ERR_PARSE || strict())
                return error();
            if (ctx->flags & UCI_FLAG_PERROR) {
                error();
                uci_perror(ctx, nullptr);
                drop_parse(ctx);
            }
        }
        ctx->err = UCI_OK;
        return UCI_OK;
    }
};

} // namespace

int parse_config(uci_context *ctx, uci_package *p, std::string_view text)
{
    Parser ps{ctx, p, Reader(text)};
    return ps.run();
}

int parse_text(uci_context *ctx, uci_package **p, const char *name, std::string_view text,
               bool single, bool track)
{
    Parser ps{ctx, *p, Reader(text)};
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
        return fail(ctx, ps.err);
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
