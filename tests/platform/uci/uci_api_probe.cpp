// Runs libuci calls read from stdin, one a line, and prints what each
// returned and left behind, so that the output of this program linked
// against the host libuci and against the router's can be compared.
//   load P | unload P | lookup PATH | lookupx PATH (not extended)
//   set|add_list|del_list|delete|rename|revert PATH[=VALUE]
//   add P TYPE | reorder PATH POS | save P | commit P | overwrite P
//   dump P | new (a fresh context, as another process would have)
//   fill P SECTION [OPTION] VALUE  uci_set on a pointer filled by hand
//   next P SECTION OPTION          uci_lookup_next on the section's options
#include <uci.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

uci_context *ctx;
const char *confdir, *savedir;
std::string buf;  // the lookup string a pointer refers into

void fresh()
{
    if (ctx)
        uci_free_context(ctx);
    ctx = uci_alloc_context();
    uci_set_confdir(ctx, confdir);
    uci_set_savedir(ctx, savedir);
}

void result(const char *what, int rc)
{
    char *err = nullptr;
    uci_get_errorstr(ctx, &err, "probe");
    printf("%s rc=%d err=%d %s\n", what, rc, ctx->err, rc ? err : "");
    free(err);
}

uci_package *package(const char *name)
{
    return uci_lookup_package(ctx, name);
}

int lookup(const char *path, uci_ptr &ptr, bool extended)
{
    buf = path;
    ptr = uci_ptr{};
    return uci_lookup_ptr(ctx, &ptr, buf.data(), extended);
}

void print_ptr(const uci_ptr &p)
{
    printf("  complete=%d section=%s option=%s value=%s last=%d\n",
           (p.flags & uci_ptr::UCI_LOOKUP_COMPLETE) != 0, p.section ? p.section : "-",
           p.option ? p.option : "-", p.value ? p.value : "-", p.last ? p.last->type : -1);
}

int count(uci_list *l)
{
    int n = 0;
    uci_element *e;
    uci_foreach_element(l, e)
        n++;
    return n;
}

void dump(uci_package *p)
{
    if (!p) {
        puts("  (not loaded)");
        return;
    }
    printf("  %s delta=%d saved=%d\n", p->e.name, count(&p->delta), count(&p->saved_delta));
    uci_element *se, *oe, *ie;
    uci_foreach_element(&p->sections, se) {
        uci_section *s = uci_to_section(se);
        printf("  [%s%s %s]\n", se->name, s->anonymous ? "*" : "", s->type);
        uci_foreach_element(&s->options, oe) {
            uci_option *o = uci_to_option(oe);
            if (o->type == UCI_TYPE_STRING) {
                printf("    %s='%s'\n", oe->name, o->v.string);
                continue;
            }
            printf("    %s=(", oe->name);
            uci_foreach_element(&o->v.list, ie)
                printf("'%s'", ie->name);
            puts(")");
        }
    }
}

using EditFn = int (*)(uci_context *, uci_ptr *);
struct Edit {
    const char *name;
    EditFn fn;
};
constexpr Edit EDITS[] = {
    {"set", uci_set},       {"add_list", uci_add_list}, {"del_list", uci_del_list},
    {"delete", uci_delete}, {"rename", uci_rename},     {"revert", uci_revert},
};

void step(const std::string &cmd, char *a, char *b)
{
    uci_ptr ptr{};
    for (const Edit &e : EDITS) {
        if (cmd != e.name)
            continue;
        int rc = lookup(a, ptr, true);
        if (rc == UCI_OK)
            rc = e.fn(ctx, &ptr);
        result(cmd.c_str(), rc);
        return;
    }
    if (cmd == "lookup" || cmd == "lookupx") {
        int rc = lookup(a, ptr, cmd == "lookup");
        result(cmd.c_str(), rc);
        if (rc == UCI_OK)
            print_ptr(ptr);
    } else if (cmd == "load") {
        uci_package *p = nullptr;
        result("load", uci_load(ctx, a, &p));
    } else if (cmd == "unload") {
        result("unload", uci_unload(ctx, package(a)));
    } else if (cmd == "add") {
        uci_section *s = nullptr;
        result("add", uci_add_section(ctx, package(a), b, &s));
        printf("  name=%s\n", s ? s->e.name : "-");
    } else if (cmd == "reorder") {
        int rc = lookup(a, ptr, true);
        // The router's library takes a section as given: none would crash it.
        if (rc == UCI_OK && !ptr.s)
            rc = -1;
        result("reorder", rc ? rc : uci_reorder_section(ctx, ptr.s, atoi(b)));
    } else if (cmd == "save") {
        result("save", uci_save(ctx, package(a)));
    } else if (cmd == "commit" || cmd == "overwrite") {
        uci_package *p = package(a);
        result(cmd.c_str(), uci_commit(ctx, &p, cmd == "overwrite"));
    } else if (cmd == "fill" || cmd == "next") {
        // As the agent and qx_wifi_ctl do: no lookup string at all.
        char *sec = strtok(b, " "), *opt = strtok(nullptr, " "), *val = strtok(nullptr, "");
        uci_package *p = package(a);
        uci_section *s = p && sec ? uci_lookup_section(ctx, p, sec) : nullptr;
        if (cmd == "next") {
            uci_element *e = nullptr;
            int rc = s ? uci_lookup_next(ctx, &e, &s->options, opt ? opt : "") : -1;
            result("next", rc);
            return;
        }
        ptr.p = p;
        ptr.s = s;
        ptr.section = s ? nullptr : sec;
        ptr.option = val ? opt : nullptr;
        ptr.value = val ? val : opt;
        result("fill", p ? uci_set(ctx, &ptr) : -1);
        printf("  s=%s\n", ptr.s ? ptr.s->e.name : "-");
    } else if (cmd == "dump") {
        dump(package(a));
    } else if (cmd == "new") {
        fresh();
    } else {
        printf("? %s\n", cmd.c_str());
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fputs("usage: uci_api_probe CONFDIR SAVEDIR < steps\n", stderr);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    confdir = argv[1];
    savedir = argv[2];
    fresh();
    char line[1024];
    while (fgets(line, sizeof(line), stdin)) {
        line[strcspn(line, "\n")] = '\0';
        char *cmd = strtok(line, " ");
        if (!cmd)
            continue;
        char *a = strtok(nullptr, " ");
        char *b = strtok(nullptr, "");
        printf("> %s %s%s%s\n", cmd, a ? a : "", b ? " " : "", b ? b : "");
        step(cmd, a ? a : const_cast<char *>(""), b ? b : const_cast<char *>(""));
    }
    uci_free_context(ctx);
    return 0;
}
