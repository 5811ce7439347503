// Host build of the router's ubus command: list, call, listen, send and
// wait_for on the local bus. The exit status is the bus status of a failed
// command (4: not found, 7: timed out), 255 for bad input or no bus.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubus.h>
}

namespace {

blob_buf g_buf;
int g_timeout = 30;
bool g_simple = false;
int g_verbose = 0;

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
    if (g_simple || !g_verbose) {
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
    char *s = blobmsg_format_json_indent(msg, true, g_simple ? -1 : 0);
    printf("%s\n", s ? s : "");
    free(s);
}

void event_result(ubus_context *, ubus_event_handler *, const char *type, blob_attr *msg)
{
    char *s = blobmsg_format_json(msg, true);
    printf("{ \"%s\": %s }\n", type, s ? s : "{}");
    fflush(stdout);
    free(s);
}

bool parse_message(const char *json)
{
    if (blobmsg_add_json_from_string(&g_buf, json))
        return true;
    if (!g_simple)
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
    return ubus_invoke(ctx, id, argv[1], g_buf.head, call_result, nullptr, g_timeout * 1000);
}

int cmd_listen(ubus_context *ctx, int argc, char **argv)
{
    static ubus_event_handler listener;
    static char all[] = "*";
    static char *everything[] = {all};
    if (!argc) {
        argc = 1;
        argv = everything;
    }
    listener.cb = event_result;
    for (int i = 0; i < argc; i++) {
        int ret = ubus_register_event_handler(ctx, &listener, argv[i]);
        if (ret) {
            if (!g_simple)
                fprintf(stderr, "Error while registering for event '%s': %s\n", argv[i],
                        ubus_strerror(ret));
            return -1;
        }
    }
    uloop_init();
    ubus_add_uloop(ctx);
    uloop_run();
    uloop_done();
    return 0;
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

struct wait_data {
    uloop_timeout timeout;
    ubus_event_handler ev;
    char **pending;
    int n_pending;
};

void wait_check(wait_data *data, const char *path)
{
    for (int i = 0; i < data->n_pending; i++) {
        if (strcmp(path, data->pending[i]) != 0)
            continue;
        data->pending[i] = data->pending[--data->n_pending];
        i--;
    }
    if (!data->n_pending)
        uloop_end();
}

void wait_event(ubus_context *, ubus_event_handler *ev, const char *type, blob_attr *msg)
{
    static const blobmsg_policy policy = {"path", BLOBMSG_TYPE_STRING};
    wait_data *data = container_of(ev, wait_data, ev);
    if (strcmp(type, "ubus.object.add") != 0)
        return;
    blob_attr *attr;
    blobmsg_parse(&policy, 1, &attr, blob_data(msg), static_cast<unsigned int>(blob_len(msg)));
    if (attr)
        wait_check(data, blobmsg_get_string(attr));
}

void wait_list(ubus_context *, ubus_object_data *obj, void *priv)
{
    wait_check(static_cast<wait_data *>(priv), obj->path);
}

void wait_timeout(uloop_timeout *)
{
    uloop_end();
}

int cmd_wait_for(ubus_context *ctx, int argc, char **argv)
{
    if (argc < 1)
        return -2;
    wait_data data{};
    data.timeout.cb = wait_timeout;
    data.ev.cb = wait_event;
    data.pending = argv;
    data.n_pending = argc;

    uloop_init();
    ubus_add_uloop(ctx);
    // Registered first, so that an object added between the listing and
    // the registration is not missed.
    int ret = ubus_register_event_handler(ctx, &data.ev, "ubus.object.add");
    if (ret)
        return ret;
    ret = ubus_lookup(ctx, nullptr, wait_list, &data);
    if (ret && ret != UBUS_STATUS_NOT_FOUND)
        return ret;
    if (data.n_pending) {
        uloop_timeout_set(&data.timeout, g_timeout * 1000);
        uloop_run();
        uloop_timeout_cancel(&data.timeout);
    }
    uloop_done();
    return data.n_pending ? UBUS_STATUS_TIMEOUT : 0;
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
            "\n"
            "Commands:\n"
            " - list [<path>]\t\t\tList objects\n"
            " - call <path> <method> [<message>]\tCall an object method\n"
            " - listen [<path>...]\t\t\tListen for events\n"
            " - send <type> [<message>]\t\tSend an event\n"
            " - wait_for <object> [<object>...]\tWait for multiple objects to appear on ubus\n"
            "\n",
            prog);
    return 1;
}

struct command {
    const char *name;
    int (*cb)(ubus_context *ctx, int argc, char **argv);
};

constexpr command COMMANDS[] = {
    {"list", cmd_list},     {"call", cmd_call},         {"listen", cmd_listen},
    {"send", cmd_send},     {"wait_for", cmd_wait_for},
};

} // namespace

int main(int argc, char **argv)
{
    const char *prog = argv[0];
    const char *socket = nullptr;
    int ch;

    while ((ch = getopt(argc, argv, "vs:t:S")) != -1) {
        switch (ch) {
        case 's':
            socket = optarg;
            break;
        case 't':
            g_timeout = atoi(optarg);
            break;
        case 'S':
            g_simple = true;
            break;
        case 'v':
            g_verbose++;
            break;
        default:
            return usage(prog);
        }
    }
    argc -= optind;
    argv += optind;
    if (argc < 1)
        return usage(prog);

    const char *cmd = argv[0];
    const command *c = nullptr;
    for (const command &it : COMMANDS)
        if (!strcmp(it.name, cmd))
            c = &it;
    ubus_context *ctx = ubus_connect(socket);
    if (!ctx) {
        if (!g_simple)
            fprintf(stderr, "Failed to connect to ubus\n");
        return -1;
    }
    int ret = c ? c->cb(ctx, argc - 1, argv + 1) : -2;
    if (ret > 0 && !g_simple)
        fprintf(stderr, "Command failed: %s\n", ubus_strerror(ret));
    else if (ret == -2)
        usage(prog);

    ubus_free(ctx);
    blob_buf_free(&g_buf);
    return ret;
}
