// uci show and uci changes: one "package.section[.option]=value" line each.
#include <cstdio>
#include <cstring>
#include <string>

#include "uci_cli.h"

namespace {

void print_quoted(const char *v)
{
    putchar('\'');
    for (; *v; v++) {
        if (*v == '\'')
            fputs("'\\''", stdout);
        else
            putchar(*v);
    }
    putchar('\'');
}

// Anonymous sections show as @type[N], N counting that type only.
std::string section_ref(const Cli &c, uci_section *s)
{
    if (!s->anonymous || c.names)
        return s->e.name;
    int idx = 0;
    uci_element *e;
    uci_foreach_element(&s->package->sections, e) {
        uci_section *t = uci_to_section(e);
        if (t == s)
            break;
        if (!strcmp(t->type, s->type))
            idx++;
    }
    return "@" + std::string(s->type) + "[" + std::to_string(idx) + "]";
}

} // namespace

void print_value(const Cli &c, uci_option *o, bool quoted)
{
    if (o->type == UCI_TYPE_STRING) {
        quoted ? print_quoted(o->v.string) : (void)fputs(o->v.string, stdout);
        return;
    }
    bool first = true;
    uci_element *e;
    uci_foreach_element(&o->v.list, e) {
        if (!first)
            fputs(c.delim, stdout);
        first = false;
        quoted ? print_quoted(e->name) : (void)fputs(e->name, stdout);
    }
}

void show_option(const Cli &c, uci_option *o)
{
    uci_section *s = o->section;
    printf("%s.%s.%s=", s->package->e.name, section_ref(c, s).c_str(), o->e.name);
    print_value(c, o, true);
    putchar('\n');
}

void show_section(const Cli &c, uci_section *s)
{
    printf("%s.%s=%s\n", s->package->e.name, section_ref(c, s).c_str(), s->type);
    uci_element *e;
    uci_foreach_element(&s->options, e)
        show_option(c, uci_to_option(e));
}

void show_package(const Cli &c, uci_package *p)
{
    uci_element *e;
    uci_foreach_element(&p->sections, e)
        show_section(c, uci_to_section(e));
}

void show_changes(uci_package *p)
{
    uci_element *e;
    uci_foreach_element(&p->saved_delta, e) {
        uci_delta *d = uci_to_delta(e);
        const char *prefix = d->cmd == UCI_CMD_REMOVE ? "-" : "";
        const char *op = d->cmd == UCI_CMD_LIST_ADD   ? "+="
                         : d->cmd == UCI_CMD_LIST_DEL ? "-="
                                                      : "=";
        printf("%s%s.%s", prefix, p->e.name, d->section);
        if (e->name)
            printf(".%s", e->name);
        if (d->value) {
            fputs(op, stdout);
            print_quoted(d->value);
        }
        putchar('\n');
    }
}
