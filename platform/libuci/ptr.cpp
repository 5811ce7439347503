// "package.section.option=value" strings and the lookups behind them.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "guard.h"
#include "uci_int.h"

namespace uci {

namespace {

// "@type[N]" or "@[N]": the N-th section (of that type), N < 0 from the end.
int ext_section(uci_context *ctx, uci_ptr *ptr, uci_element **res)
{
    *res = nullptr;
    std::string sec = ptr->section;
    size_t open = sec.find('[');
    if (sec.size() < 4 || sec[0] != '@' || open == std::string::npos || sec.back() != ']') {
        memset(ptr, 0, sizeof(*ptr));
        return fail(ctx, UCI_ERR_INVAL);
    }
    std::string type = sec.substr(1, open - 1);
    std::string idx = sec.substr(open + 1, sec.size() - open - 2);
    char *end = nullptr;
    errno = 0;
    long n = strtol(idx.c_str(), &end, 10);
    if (idx.empty() || *end || errno || n < INT_MIN || n > INT_MAX ||
        (!type.empty() && !valid_type(type.c_str()))) {
        memset(ptr, 0, sizeof(*ptr));
        return fail(ctx, UCI_ERR_INVAL);
    }

    uci_element *e;
    auto matches = [&](uci_element *el) {
        return type.empty() || !strcmp(uci_to_section(el)->type, type.c_str());
    };
    if (n < 0) {
        long count = 0;
        uci_foreach_element(&ptr->p->sections, e) {
            if (matches(e))
                count++;
        }
        n += count;
    }
    long c = 0;
    uci_foreach_element(&ptr->p->sections, e) {
        if (!matches(e))
            continue;
        if (c++ == n) {
            // Changes are recorded against the real name.
            ptr->section = e->name;
            *res = e;
            break;
        }
    }
    return UCI_OK;
}

} // namespace

int parse_ptr(uci_context *ctx, uci_ptr *ptr, char *str)
{
    if (!ptr || !str)
        return fail(ctx, UCI_ERR_INVAL);

    memset(ptr, 0, sizeof(*ptr));
    char *value = strchr(str, '=');
    if (value) {
        *value++ = 0;
        ptr->value = value;
    }
    char *rest = str;
    ptr->package = strsep(&rest, ".");
    ptr->target = UCI_TYPE_PACKAGE;
    ptr->section = strsep(&rest, ".");
    if (ptr->section) {
        ptr->target = UCI_TYPE_SECTION;
        ptr->option = strsep(&rest, ".");
        if (ptr->option)
            ptr->target = UCI_TYPE_OPTION;
    }

    bool bad = rest != nullptr || !valid_package(ptr->package) ||
               (ptr->option && !valid_name(ptr->option)) ||
               (ptr->value && !uci_validate_text(ptr->value));
    if (bad) {
        memset(ptr, 0, sizeof(*ptr));
        return fail(ctx, UCI_ERR_PARSE);
    }
    if (ptr->section && !valid_name(ptr->section))
        ptr->flags = uci_ptr::UCI_LOOKUP_EXTENDED;
    return UCI_OK;
}

int lookup(uci_context *ctx, uci_ptr *ptr, char *str, bool extended)
{
    if (!ptr)
        return fail(ctx, UCI_ERR_INVAL);
    if (str) {
        int r = parse_ptr(ctx, ptr, str);
        if (r)
            return r;
    }
    ptr->flags = static_cast<decltype(ptr->flags)>(ptr->flags | uci_ptr::UCI_LOOKUP_DONE);

    if (!ptr->p && ptr->s)
        ptr->p = ptr->s->package;
    uci_element *e;
    if (ptr->p) {
        e = &ptr->p->e;
    } else {
        if (!ptr->package)
            return fail(ctx, UCI_ERR_INVAL);
        e = find(&ctx->root, ptr->package);
        if (!e) {
            int r = load(ctx, ptr->package, &ptr->p);
            if (r)
                return r;
            e = &ptr->p->e;
        }
        ptr->p = uci_to_package(e);
    }
    ptr->last = e;

    if (ptr->section || ptr->s) {
        if (ptr->s) {
            e = &ptr->s->e;
        } else if (ptr->flags & uci_ptr::UCI_LOOKUP_EXTENDED) {
            if (!extended)
                return fail(ctx, UCI_ERR_INVAL);
            int r = ext_section(ctx, ptr, &e);
            if (r)
                return r;
        } else {
            e = find(&ptr->p->sections, ptr->section);
        }
        if (!e)
            return UCI_OK;
        ptr->last = e;
        ptr->s = uci_to_section(e);

        if (ptr->option) {
            e = find(&ptr->s->options, ptr->option);
            if (!e)
                return UCI_OK;
            ptr->o = uci_to_option(e);
            ptr->last = e;
        }
    }
    ptr->flags = static_cast<decltype(ptr->flags)>(ptr->flags | uci_ptr::UCI_LOOKUP_COMPLETE);
    return UCI_OK;
}

} // namespace uci

using namespace uci;

extern "C" {

int uci_parse_ptr(uci_context *ctx, uci_ptr *ptr, char *str)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    return parse_ptr(ctx, ptr, str);
}

int uci_lookup_ptr(uci_context *ctx, uci_ptr *ptr, char *str, bool extended)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    return guarded(ctx, [&]() -> int { return lookup(ctx, ptr, str, extended); });
}

int uci_lookup_next(uci_context *ctx, uci_element **e, uci_list *list, const char *name)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    if (!e || !list || !name)
        return fail(ctx, UCI_ERR_INVAL);
    uci_element *found = find(list, name);
    if (!found)
        return fail(ctx, UCI_ERR_NOTFOUND);
    *e = found;
    return UCI_OK;
}

bool uci_validate_text(const char *str)
{
    for (; *str; str++) {
        auto c = static_cast<unsigned char>(*str);
        if (c < 32 && c != '\t' && c != '\n' && c != '\r')
            return false;
    }
    return true;
}

} // extern "C"
