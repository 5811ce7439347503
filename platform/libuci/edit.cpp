// Changes to a loaded package; each tracked change becomes a delta that
// uci_save and uci_commit carry to the save dir and the file.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "guard.h"
#include "uci_int.h"

namespace uci {

int expand(uci_context *ctx, uci_ptr *ptr, bool complete)
{
    if (!ptr)
        return fail(ctx, UCI_ERR_INVAL);
    if (!(ptr->flags & uci_ptr::UCI_LOOKUP_DONE)) {
        int r = lookup(ctx, ptr, nullptr, true);
        if (r)
            return r;
    }
    if (complete && !(ptr->flags & uci_ptr::UCI_LOOKUP_COMPLETE))
        return fail(ctx, UCI_ERR_NOTFOUND);
    if (!ptr->p)
        return fail(ctx, UCI_ERR_INVAL);
    if (!ptr->package)
        ptr->package = ptr->p->e.name;
    if (ptr->s && !ptr->section)
        ptr->section = ptr->s->e.name;
    if (ptr->o && !ptr->option)
        ptr->option = ptr->o->e.name;
    return UCI_OK;
}

namespace {

void find_option(uci_ptr *ptr)
{
    if (!ptr->o && ptr->s && ptr->option) {
        uci_element *e = find(&ptr->s->options, ptr->option);
        if (e)
            ptr->o = uci_to_option(e);
    }
}

// A leading number, as sscanf reads one: "2x" is 2.
bool parse_index(const char *s, int *out)
{
    char *end = nullptr;
    errno = 0;
    long n = strtol(s, &end, 10);
    if (end == s || errno || n < INT_MIN || n > INT_MAX)
        return false;
    *out = static_cast<int>(n);
    return true;
}

// A changed option moves to the end of its section, as on the router.
void to_end(uci_option *o)
{
    list_del(&o->e.list);
    list_insert(&o->section->options, &o->e.list);
}

} // namespace

int set(uci_context *ctx, uci_ptr *ptr, bool track)
{
    int r = expand(ctx, ptr, false);
    if (r)
        return r;
    if (!ptr->value || !(ptr->s || (!ptr->option && ptr->section)))
        return fail(ctx, UCI_ERR_INVAL);
    if (!ptr->option && ptr->value[0] && !valid_type(ptr->value))
        return fail(ctx, UCI_ERR_INVAL);
    find_option(ptr);

    // An empty value removes; there is no empty option.
    if (!ptr->value[0]) {
        if (ptr->option ? !ptr->o : !ptr->s)
            return UCI_OK;
        return remove(ctx, ptr, track);
    }

    if (!ptr->o && ptr->option) {
        if (!valid_name(ptr->option))
            return fail(ctx, UCI_ERR_INVAL);
        ptr->o = option_new(ptr->s, ptr->option, ptr->value);
        ptr->last = &ptr->o->e;
    } else if (!ptr->s && ptr->section) {
        if (!valid_name(ptr->section))
            return fail(ctx, UCI_ERR_INVAL);
        ptr->s = section_new(ptr->p, ptr->value, ptr->section);
        ptr->last = &ptr->s->e;
    } else if (ptr->o && ptr->option) {
        uci_option *o = ptr->o;
        if (o->type == UCI_TYPE_STRING && !strcmp(o->v.string, ptr->value))
            return UCI_OK;
        char *v = strdup(ptr->value);
        if (!v)
            return fail(ctx, UCI_ERR_MEM);
        option_clear(o);
        o->type = UCI_TYPE_STRING;
        o->v.string = v;
        to_end(o);
        ptr->last = &o->e;
    } else if (ptr->s && ptr->section) {
        char *t = strdup(ptr->value);
        if (!t)
            return fail(ctx, UCI_ERR_MEM);
        free(ptr->s->type);
        ptr->s->type = t;
        ptr->last = &ptr->s->e;
    } else {
        return fail(ctx, UCI_ERR_INVAL);
    }
    if (track)
        delta_add(&ptr->p->delta, UCI_CMD_CHANGE, ptr->section, ptr->option, ptr->value);
    return UCI_OK;
}

int remove(uci_context *ctx, uci_ptr *ptr, bool track)
{
    int r = expand(ctx, ptr, true);
    if (r)
        return r;
    if (!ptr->s)
        return fail(ctx, UCI_ERR_INVAL);

    // A value on a list names the index of the item to drop.
    if (ptr->o && ptr->o->type == UCI_TYPE_LIST && ptr->value && *ptr->value) {
        int idx;
        if (!parse_index(ptr->value, &idx))
            return fail(ctx, UCI_ERR_INVAL);
        uci_element *e, *tmp;
        uci_foreach_element_safe(&ptr->o->v.list, tmp, e) {
            if (idx-- == 0) {
                if (track)
                    delta_add(&ptr->p->delta, UCI_CMD_REMOVE, ptr->section, ptr->option,
                              ptr->value);
                free_element(e);
                break;
            }
        }
        return UCI_OK;
    }

    // A named option that is missing must never widen to its section.
    if (ptr->option && !ptr->o)
        return fail(ctx, UCI_ERR_NOTFOUND);
    if (track)
        delta_add(&ptr->p->delta, UCI_CMD_REMOVE, ptr->section, ptr->option, nullptr);
    if (ptr->option) {
        free_element(&ptr->o->e);
        ptr->o = nullptr;
    } else {
        free_element(&ptr->s->e);
        ptr->s = nullptr;
    }
    ptr->last = &ptr->p->e;
    return UCI_OK;
}

int add_list(uci_context *ctx, uci_ptr *ptr, bool track)
{
    int r = expand(ctx, ptr, false);
    if (r)
        return r;
    if (!ptr->s || !ptr->value || !ptr->option)
        return fail(ctx, UCI_ERR_INVAL);
    find_option(ptr);

    uci_option *o = ptr->o;
    if (!o) {
        if (!valid_name(ptr->option))
            return fail(ctx, UCI_ERR_INVAL);
        o = list_new(ptr->s, ptr->option);
    } else if (o->type == UCI_TYPE_STRING) {
        // A single value becomes the list's first item, in place.
        char *old = o->v.string;
        o->type = UCI_TYPE_LIST;
        list_init(&o->v.list);
        item_add(o, old);
        free(old);
        to_end(o);
    }
    item_add(o, ptr->value);
    ptr->o = o;
    ptr->last = &o->e;
    if (track)
        delta_add(&ptr->p->delta, UCI_CMD_LIST_ADD, ptr->section, ptr->option, ptr->value);
    return UCI_OK;
}

int del_list(uci_context *ctx, uci_ptr *ptr, bool track)
{
    int r = expand(ctx, ptr, false);
    if (r)
        return r;
    if (!ptr->s || !ptr->value)
        return fail(ctx, UCI_ERR_INVAL);
    find_option(ptr);
    if (!ptr->o || !ptr->option || ptr->o->type != UCI_TYPE_LIST)
        return UCI_OK;
    if (track)
        delta_add(&ptr->p->delta, UCI_CMD_LIST_DEL, ptr->section, ptr->option, ptr->value);
    uci_element *e, *tmp;
    uci_foreach_element_safe(&ptr->o->v.list, tmp, e) {
        if (!strcmp(e->name, ptr->value))
            free_element(e);
    }
    return UCI_OK;
}

int rename(uci_context *ctx, uci_ptr *ptr, bool track)
{
    int r = expand(ctx, ptr, true);
    if (r)
        return r;
    if (!ptr->s || !ptr->value || !valid_name(ptr->value))
        return fail(ctx, UCI_ERR_INVAL);

    uci_element *e = ptr->o ? &ptr->o->e : &ptr->s->e;
    uci_list *siblings = ptr->o ? &ptr->s->options : &ptr->p->sections;
    uci_element *other = find(siblings, ptr->value);
    if (other && other != e)
        return fail(ctx, UCI_ERR_DUPLICATE);
    char *name = strdup(ptr->value);
    if (!name)
        return fail(ctx, UCI_ERR_MEM);
    if (track)
        delta_add(&ptr->p->delta, UCI_CMD_RENAME, ptr->section, ptr->option, ptr->value);
    free(e->name);
    e->name = name;
    if (ptr->o)
        ptr->option = name;
    else {
        ptr->section = name;
        ptr->s->anonymous = false;
    }
    ptr->last = e;
    return UCI_OK;
}

void reorder(uci_section *s, int pos, uci_list *track)
{
    uci_list *sections = &s->package->sections;
    uci_list *old_prev = s->e.list.prev;
    list_del(&s->e.list);
    uci_list *after = sections;
    int left = pos;
    for (uci_list *l = sections->next; l != sections && left-- > 0; l = l->next)
        after = l;
    list_insert(after->next, &s->e.list);
    if (track && after != old_prev)
        delta_add(track, UCI_CMD_REORDER, s->e.name, nullptr, std::to_string(pos).c_str());
}

} // namespace uci

using namespace uci;

namespace {

template <class F> int api(uci_context *ctx, F f)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    return guarded(ctx, f);
}

} // namespace

extern "C" {

int uci_set(uci_context *ctx, uci_ptr *ptr)
{
    return api(ctx, [&]() -> int { return set(ctx, ptr, !ctx->internal); });
}

int uci_delete(uci_context *ctx, uci_ptr *ptr)
{
    return api(ctx, [&]() -> int { return remove(ctx, ptr, !ctx->internal); });
}

int uci_add_list(uci_context *ctx, uci_ptr *ptr)
{
    return api(ctx, [&]() -> int { return add_list(ctx, ptr, !ctx->internal); });
}

int uci_del_list(uci_context *ctx, uci_ptr *ptr)
{
    return api(ctx, [&]() -> int { return del_list(ctx, ptr, !ctx->internal); });
}

int uci_rename(uci_context *ctx, uci_ptr *ptr)
{
    return api(ctx, [&]() -> int { return rename(ctx, ptr, !ctx->internal); });
}

int uci_reorder_section(uci_context *ctx, uci_section *s, int pos)
{
    return api(ctx, [&]() -> int {
        if (!s)
            return fail(ctx, UCI_ERR_INVAL);
        reorder(s, pos, ctx->internal ? nullptr : &s->package->delta);
        return UCI_OK;
    });
}

int uci_add_section(uci_context *ctx, uci_package *p, const char *type, uci_section **res)
{
    return api(ctx, [&]() -> int {
        if (!p || !type || !valid_type(type))
            return fail(ctx, UCI_ERR_INVAL);
        uci_section *s = section_new(p, type, nullptr);
        if (!ctx->internal)
            delta_add(&p->delta, UCI_CMD_ADD, s->e.name, nullptr, type);
        if (res)
            *res = s;
        return UCI_OK;
    });
}

} // extern "C"
