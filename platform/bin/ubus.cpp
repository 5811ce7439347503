// Host build of the router's ubus command: list, call, subscribe, listen,
// send, wait_for and monitor on the local bus. The exit status is the bus
// status of a failed command (4: not found, 7: timed out), 255 for bad
// input or no bus, 1 after the usage text.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ubus_cli.h"

namespace ubus_cli {
options g_opt;
blob_buf g_buf;
} // namespace ubus_cli

using namespace ubus_cli;

namespace {

const char *format_type(void *, blob_attr *attr)
{
    static const char *const names[] = {
        nullptr,      "\"Array\"",   "\"Table\"", "\"String\"",
        nullptr,      "\"Integer\"", nullptr,     "\"Boolean\"",
    };
    if (blob_id(attr) != BLOBMSG_TYPE_INT32)
        return nullptr;
    uint32_t type = blobmsg_get_u32(attr);
    const char *name = type < ARRAY_SIZE(names) ? names[type] : nullptr;
    return name ? name : "\"(unknown)\"";
}

void list_result(ubus_context *, ubus_object_data *obj, void *)
{
    if (g_opt.simple || !g_opt.verbose) {
        printf("%s\n", obj->path);
        return;
    }
    printf("'%s' @%08x\n", obj->path, obj->id);
    if (!obj->signature)
        return;
    blob_attr *cur;
    size_t rem;
    blob_for_each_attr(cur, obj->signature, rem) {
        char *s = blobmsg_format_json_with_cb(cur, false, format_type, nullptr, -1);
        printf("\t%s\n", s ? s : "");
        free(s);
    }
}

void call_result(ubus_request *, int, blob_attr *msg)
{
    if (!msg)
        return;
    char *s = blobmsg_format_json_indent(msg, true, g_opt.simple ? -1 : 0);
    printf("%s\n", s ? s : "");
    free(s);
}

bool parse_message(const char *json)
{
    if (blobmsg_add_json_from_string(&g_buf, json))
        return true;
    if (!g_opt.simple)
        fprintf(stderr, "Failed to parse message data\n");
    return false;
}

int cmd_list(ubus_context *ctx, int argc, char **argv)
{
    if (argc > 1)
        return -2;
    return ubus_lookup(ctx, argc ? argv[0] : nullptr, list_result, nullptr);
}

int cmd_call(ubus_context *ctx, int argc, char **argv)
{
    if (argc < 2 || argc > 3)
        return -2;
    blob_buf_init(&g_buf, 0);
    if (argc == 3 && !parse_message(argv[2]))
        return -1;
    uint32_t id;
    int ret = ubus_lookup_id(ctx, argv[0], &id);
    if (ret)
        return ret;
    return ubus_invoke(ctx, id, argv[1], g_buf.head, call_result, nullptr, g_opt.timeout * 1000);
}

int cmd_send(ubus_context *ctx, int argc, char **argv)
{
    if (argc < 1 || argc > 2)
        return -2;
    blob_buf_init(&g_buf, 0);
    if (argc == 2 && !parse_message(argv[1]))
        return -1;
    return ubus_send_event(ctx, argv[0], g_buf.head);
}

int usage(const char *prog)
{
    fprintf(stderr,
            "Usage: %s [<options>] <command> [arguments...]\n"
            "Options:\n"
            " -s <socket>:\t\tSet the unix domain socket to connect to\n"
            " -t <timeout>:\t\tSet the timeout (in seconds) for a command to complete\n"
            " -S:\t\t\tUse simplified output (for scripts)\n"
            " -v:\t\t\tMore verbose output\n"
            " -m <type>:\t\t(for monitor): include a specific message type\n"
            "\t\t\t(can be used more than once)\n"
            " -M <r|t>\t\t(for monitor): only capture received or transmitted traffic\n"
            "\n"
            "Commands:\n"
            " - list [<path>]\t\t\tList objects\n"
            " - call <path> <method> [<message>]\tCall an object method\n"
            " - subscribe <path> [<path>...]\tSubscribe to object(s) notifications\n"
            " - listen [<path>...]\t\t\tListen for events\n"
            " - send <type> [<message>]\t\tSend an event\n"
            " - wait_for <object> [<object>...]\tWait for multiple objects to appear on ubus\n"
            " - monitor\t\t\t\tMonitor ubus traffic\n"
            "\n",
            prog);
    return 1;
}

struct command {
    const char *name;
    command_fn cb;
};

constexpr command COMMANDS[] = {
    {"list", cmd_list},         {"call", cmd_call},     {"listen", cmd_listen},
    {"subscribe", cmd_subscribe}, {"send", cmd_send},   {"wait_for", cmd_wait_for},
    {"monitor", cmd_monitor},
};

// -M: r for what clients sent the daemon, t for what it sent them.
bool set_direction(const char *arg)
{
    if (arg[0] != 'r' && arg[0] != 't')
        return false;
    g_opt.monitor_dir = arg[0] == 't';
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const char *prog = argv[0];
    const char *socket = nullptr;
    int ch;

    while ((ch = getopt(argc, argv, "m:M:vs:t:S")) != -1) {
        switch (ch) {
        case 's':
            socket = optarg;
            break;
        case 't':
            g_opt.timeout = g_opt.listen_timeout = atoi(optarg);
            break;
        case 'S':
            g_opt.simple = true;
            break;
        case 'v':
            g_opt.verbose++;
            break;
        case 'm':
            if (!monitor_add_type(optarg))
                return usage(prog);
            break;
        case 'M':
            if (!set_direction(optarg))
                return usage(prog);
            break;
        default:
            return usage(prog);
        }
    }
    argc -= optind;
    argv += optind;
    if (argc < 1)
        return usage(prog);

    const command *c = nullptr;
    for (const command &it : COMMANDS)
        if (!strcmp(it.name, argv[0]))
            c = &it;
    ubus_context *ctx = ubus_connect(socket);
    if (!ctx) {
        if (!g_opt.simple)
            fprintf(stderr, "Failed to connect to ubus\n");
        return -1;
    }
    int ret = c ? c->cb(ctx, argc - 1, argv + 1) : -2;
    if (ret > 0 && !g_opt.simple)
        fprintf(stderr, "Command failed: %s\n", ubus_strerror(ret));
    else if (ret == -2)
        usage(prog);

    ubus_free(ctx);
    blob_buf_free(&g_buf);
    return ret;
}
