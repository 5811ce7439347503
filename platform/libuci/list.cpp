// Element trees: allocation, linking, freeing and name rules.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "uci_int.h"

namespace uci {

namespace {

template <class T> T *alloc(uci_type type, const char *name)
{
    auto *t = static_cast<T *>(calloc(1, sizeof(T)));
    if (!t)
        throw std::bad_alloc();
    t->e.type = type;
    if (name) {
        t->e.name = strdup(name);
        if (!t->e.name)
            throw std::bad_alloc();
    }
    list_init(&t->e.list);
    return t;
}

char *dup(const char *s)
{
    char *d = strdup(s ? s : "");
    if (!d)
        throw std::bad_alloc();
    return d;
}

void free_children(uci_list *l)
{
    while (!uci_list_empty(l))
        free_element(list_to_element(l->next));
}

// The real library's name hash: djb over the type only, since it names the
// section before any option is added.
unsigned djb_hash(const char *s)
{
    unsigned h = 5381;
    for (; *s; s++)
        h = h * 33 + static_cast<unsigned>(static_cast<signed char>(*s));
    return h & 0x7fffffffU;
}

bool valid_chars(const char *s, bool name, bool package)
{
    if (!s || !*s)
        return false;
    for (; *s; s++) {
        auto c = static_cast<unsigned char>(*s);
        if (isalnum(c) || c == '_')
            continue;
        if (c == '-' && !name)
            continue;
        if (name || package || c < 33 || c > 126)
            return false;
    }
    return true;
}

} // namespace

void list_init(uci_list *l)
{
    l->next = l;
    l->prev = l;
}

void list_insert(uci_list *pos, uci_list *item)
{
    item->next = pos;
    item->prev = pos->prev;
    pos->prev->next = item;
    pos->prev = item;
}

void list_del(uci_list *item)
{
    item->prev->next = item->next;
    item->next->prev = item->prev;
    list_init(item);
}

uci_element *find(uci_list *l, const char *name)
{
    if (!name)
        return nullptr;
    uci_element *e;
    uci_foreach_element(l, e) {
        if (e->name && !strcmp(e->name, name))
            return e;
    }
    return nullptr;
}

bool valid_name(const char *s) { return valid_chars(s, true, false); }
bool valid_type(const char *s) { return valid_chars(s, false, false); }
bool valid_package(const char *s) { return valid_chars(s, false, true); }

uci_package *package_new(uci_context *ctx, const char *name)
{
    auto *p = alloc<uci_package>(UCI_TYPE_PACKAGE, name);
    p->ctx = ctx;
    list_init(&p->sections);
    list_init(&p->delta);
    list_init(&p->saved_delta);
    return p;
}

uci_section *section_new(uci_package *p, const char *type, const char *name)
{
    auto *s = alloc<uci_section>(UCI_TYPE_SECTION, name);
    list_init(&s->options);
    s->package = p;
    s->type = dup(type);
    // Counts every section, named or not, like the real library.
    p->n_section++;
    if (!name) {
        char buf[32];
        snprintf(buf, sizeof(buf), "cfg%02x%04x", static_cast<unsigned>(p->n_section),
                 djb_hash(type) % (1U << 16));
        s->e.name = dup(buf);
        s->anonymous = true;
    }
    list_insert(&p->sections, &s->e.list);
    return s;
}

uci_option *option_new(uci_section *s, const char *name, const char *value)
{
    auto *o = alloc<uci_option>(UCI_TYPE_OPTION, name);
    o->section = s;
    o->type = UCI_TYPE_STRING;
    o->v.string = dup(value);
    list_insert(&s->options, &o->e.list);
    return o;
}

uci_option *list_new(uci_section *s, const char *name)
{
    auto *o = alloc<uci_option>(UCI_TYPE_OPTION, name);
    o->section = s;
    o->type = UCI_TYPE_LIST;
    list_init(&o->v.list);
    list_insert(&s->options, &o->e.list);
    return o;
}

void item_add(uci_option *o, const char *value)
{
    auto *i = static_cast<uci_element *>(calloc(1, sizeof(uci_element)));
    if (!i)
        throw std::bad_alloc();
    i->type = UCI_TYPE_ITEM;
    i->name = dup(value);
    list_insert(&o->v.list, &i->list);
}

void option_clear(uci_option *o)
{
    if (o->type == UCI_TYPE_STRING) {
        free(o->v.string);
        o->v.string = nullptr;
    } else {
        free_children(&o->v.list);
    }
}

void free_element(uci_element *e)
{
    if (!e)
        return;
    list_del(&e->list);
    switch (e->type) {
    case UCI_TYPE_PACKAGE: {
        auto *p = uci_to_package(e);
        free_children(&p->sections);
        free_children(&p->delta);
        free_children(&p->saved_delta);
        free(p->path);
        break;
    }
    case UCI_TYPE_SECTION: {
        auto *s = uci_to_section(e);
        free_children(&s->options);
        free(s->type);
        break;
    }
    case UCI_TYPE_OPTION:
        option_clear(uci_to_option(e));
        break;
    case UCI_TYPE_DELTA: {
        auto *d = uci_to_delta(e);
        free(d->section);
        free(d->value);
        break;
    }
    default:
        break;
    }
    free(e->name);
    free(e);
}

void delta_add(uci_list *l, uci_command cmd, const char *section, const char *option,
               const char *value)
{
    auto *d = alloc<uci_delta>(UCI_TYPE_DELTA, option);
    d->cmd = cmd;
    d->section = dup(section);
    d->value = value ? dup(value) : nullptr;
    list_insert(l, &d->e.list);
}

} // namespace uci
