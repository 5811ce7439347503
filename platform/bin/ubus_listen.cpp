// The ubus commands that stay on the loop: listen (events), subscribe
// (notifications of objects) and wait_for (objects to appear).
#include "ubus_cli.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ubus_cli {

namespace {

void print_event(const char *type, blob_attr *msg)
{
    char *s = blobmsg_format_json(msg, true);
    printf("{ \"%s\": %s }\n", type, s ? s : "{}");
    fflush(stdout);
    free(s);
}

void on_event(ubus_context *, ubus_event_handler *, const char *type, blob_attr *msg)
{
    print_event(type, msg);
}

int on_notify(ubus_context *, ubus_object *, ubus_request_data *, const char *method,
              blob_attr *msg)
{
    print_event(method, msg);
    return 0;
}

void listen_timeout(uloop_timeout *)
{
    uloop_end();
}

// Until a signal, or for -t seconds when given.
void run_listen(ubus_context *ctx)
{
    uloop_timeout t{};
    t.cb = listen_timeout;
    uloop_init();
    ubus_add_uloop(ctx);
    if (g_opt.listen_timeout)
        uloop_timeout_set(&t, g_opt.listen_timeout * 1000);
    uloop_run();
    uloop_timeout_cancel(&t);
    uloop_done();
}

int register_failed(const char *what, int ret)
{
    if (!g_opt.simple)
        fprintf(stderr, "Error while registering for event '%s': %s\n", what, ubus_strerror(ret));
    return -1;
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

} // namespace

int cmd_listen(ubus_context *ctx, int argc, char **argv)
{
    static ubus_event_handler listener;
    static char all[] = "*";
    static char *everything[] = {all};
    if (!argc) {
        argc = 1;
        argv = everything;
    }
    listener.cb = on_event;
    for (int i = 0; i < argc; i++) {
        int ret = ubus_register_event_handler(ctx, &listener, argv[i]);
        if (ret)
            return register_failed(argv[i], ret);
    }
    run_listen(ctx);
    return 0;
}

int cmd_subscribe(ubus_context *ctx, int argc, char **argv)
{
    static ubus_subscriber sub;
    if (!argc) {
        if (!g_opt.simple)
            fprintf(stderr, "You need to specify an object to subscribe to\n");
        return -1;
    }
    sub.cb = on_notify;
    int ret = ubus_register_subscriber(ctx, &sub);
    for (int i = 0; !ret && i < argc; i++) {
        uint32_t id;
        ret = ubus_lookup_id(ctx, argv[i], &id);
        if (!ret)
            ret = ubus_subscribe(ctx, &sub, id);
    }
    // As the router's command does, the message names the first object.
    if (ret)
        return register_failed(argv[0], ret);
    run_listen(ctx);
    return 0;
}

int cmd_wait_for(ubus_context *ctx, int argc, char **argv)
{
    if (argc < 1)
        return -2;
    wait_data data{};
    data.timeout.cb = listen_timeout;
    data.ev.cb = wait_event;
    data.pending = argv;
    data.n_pending = argc;

    uloop_init();
    ubus_add_uloop(ctx);
    // Registered first, so that an object added between the listing and
    // the registration is not missed.
    int ret = ubus_register_event_handler(ctx, &data.ev, "ubus.object.add");
    if (!ret)
        ret = ubus_lookup(ctx, nullptr, wait_list, &data);
    if (!ret && data.n_pending) {
        uloop_timeout_set(&data.timeout, g_opt.timeout * 1000);
        uloop_run();
        uloop_timeout_cancel(&data.timeout);
    }
    uloop_done();
    if (ret)
        return ret;
    return data.n_pending ? UBUS_STATUS_TIMEOUT : 0;
}

} // namespace ubus_cli
