// uci show, get and changes: "package.section[.option]=value" lines.
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

// In a whole package, unnamed sections show as @type[N], N counting
// every section of that type.
std::string section_ref(const Cli &c, uci_section *s)
{
    if (!s->anonymous || !c.show_ext)
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

void show_value(const Cli &c, uci_option *o, bool quote)
{
    if (o->type == UCI_TYPE_STRING) {
        quote ? print_quoted(o->v.string) : (void)fputs(o->v.string, stdout);
        putchar('\n');
        return;
    }
    const char *sep = "";
    uci_element *e;
    uci_foreach_element(&o->v.list, e) {
        fputs(sep, stdout);
        sep = c.delim;
        if (quote || strpbrk(e->name, " \t\r\n"))
            print_quoted(e->name);
        else
            fputs(e->name, stdout);
    }
    putchar('\n');
}

void show_option(const Cli &c, uci_option *o, const char *ref)
{
    uci_section *s = o->section;
    printf("%s.%s.%s=", s->package->e.name, ref ? ref : s->e.name, o->e.name);
    show_value(c, o, true);
}

void show_section(const Cli &c, uci_section *s, const char *ref)
{
    printf("%s.%s=%s\n", s->package->e.name, ref ? ref : s->e.name, s->type);
    uci_element *e;
    uci_foreach_element(&s->options, e)
        show_option(c, uci_to_option(e), ref);
}

void show_package(const Cli &c, uci_package *p)
{
    uci_element *e;
    uci_foreach_element(&p->sections, e) {
        uci_section *s = uci_to_section(e);
        show_section(c, s, section_ref(c, s).c_str());
    }
}

void show_changes(uci_package *p)
{
    uci_element *e;
    uci_foreach_element(&p->saved_delta, e) {
        uci_delta *d = uci_to_delta(e);
        const char *op = d->cmd == UCI_CMD_LIST_ADD   ? "+="
                         : d->cmd == UCI_CMD_LIST_DEL ? "-="
                                                      : "=";
        printf("%s%s.%s", d->cmd == UCI_CMD_REMOVE ? "-" : "", p->e.name, d->section);
        if (e->name)
            printf(".%s", e->name);
        // A removal names what goes, never the list index it took.
        if (d->cmd != UCI_CMD_REMOVE) {
            fputs(op, stdout);
            print_quoted(d->value ? d->value : "");
        }
        putchar('\n');
    }
}
