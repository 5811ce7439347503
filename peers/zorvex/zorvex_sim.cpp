// Simulated carrier service: owns the bus object "zorvex" and answers each
// method with the JSON object a file gives for it.
//
//   zorvex_sim [-s SOCKET] REPLIES.json
//
// REPLIES.json maps method names to reply objects (null: answer with no
// data); a "_delay_ms" member is taken out and delays that reply. Every call is printed as
// "call METHOD ARGS" so tests can see what reached the service.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

#include <json-c/json.h>

extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
#include <libubus.h>
}

namespace {

struct json_put {
    void operator()(json_object *o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_put>;

json_ptr g_replies;
ubus_context *g_ctx;

struct delayed {
    uloop_timeout timer; // first: the callback gets its address
    ubus_request_data req;
    json_object *reply;
};

std::list<delayed> g_delayed; // replies still waiting

void send(ubus_request_data *req, json_object *reply)
{
    blob_buf b = {};
    blob_buf_init(&b, 0);
    json_object_object_foreach(reply, key, val) {
        if (strcmp(key, "_delay_ms"))
            blobmsg_add_json_element(&b, key, val);
    }
    ubus_send_reply(g_ctx, req, b.head);
    blob_buf_free(&b);
}

void delayed_cb(uloop_timeout *t)
{
    auto *d = reinterpret_cast<delayed *>(t);
    send(&d->req, d->reply);
    ubus_complete_deferred_request(g_ctx, &d->req, UBUS_STATUS_OK);
    g_delayed.remove_if([d](const delayed &x) { return &x == d; });
}

int handle(ubus_context *, ubus_object *, ubus_request_data *req, const char *method,
           blob_attr *msg)
{
    char *args = msg ? blobmsg_format_json(msg, true) : nullptr;
    printf("call %s %s\n", method, args ? args : "null");
    free(args);

    json_object *reply = nullptr;
    if (!json_object_object_get_ex(g_replies.get(), method, &reply))
        return UBUS_STATUS_METHOD_NOT_FOUND;
    if (!reply)
        return UBUS_STATUS_OK;
    json_object *delay = nullptr;
    if (!json_object_object_get_ex(reply, "_delay_ms", &delay)) {
        send(req, reply);
        return UBUS_STATUS_OK;
    }
    delayed *d = &g_delayed.emplace_back();
    d->timer.cb = delayed_cb;
    d->reply = reply;
    ubus_defer_request(g_ctx, req, &d->req);
    uloop_timeout_set(&d->timer, json_object_get_int(delay));
    return UBUS_STATUS_OK;
}

} // namespace

int main(int argc, char **argv)
{
    const char *sock = nullptr;
    int c;
    while ((c = getopt(argc, argv, "s:")) != -1) {
        if (c != 's') {
            fprintf(stderr, "usage: zorvex_sim [-s SOCKET] REPLIES.json\n");
            return 2;
        }
        sock = optarg;
    }
    if (optind >= argc) {
        fprintf(stderr, "usage: zorvex_sim [-s SOCKET] REPLIES.json\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    g_replies.reset(json_object_from_file(argv[optind]));
    if (!g_replies || !json_object_is_type(g_replies.get(), json_type_object)) {
        fprintf(stderr, "zorvex_sim: %s: not a JSON object\n", argv[optind]);
        return 2;
    }

    std::vector<ubus_method> methods;
    json_object_object_foreach(g_replies.get(), name, val) {
        (void)val;
        ubus_method m = {};
        m.name = name;
        m.handler = handle;
        methods.push_back(m);
    }
    ubus_object_type type = {};
    type.name = "zorvex";
    type.methods = methods.data();
    type.n_methods = static_cast<int>(methods.size());
    ubus_object obj = {};
    obj.name = "zorvex";
    obj.type = &type;
    obj.methods = methods.data();
    obj.n_methods = static_cast<int>(methods.size());

    uloop_init();
    g_ctx = ubus_connect(sock);
    if (!g_ctx) {
        fprintf(stderr, "zorvex_sim: cannot connect to the bus\n");
        return 1;
    }
    ubus_add_uloop(g_ctx);
    int ret = ubus_add_object(g_ctx, &obj);
    if (ret) {
        fprintf(stderr, "zorvex_sim: cannot add object: %s\n", ubus_strerror(ret));
        ubus_free(g_ctx);
        return 1;
    }
    printf("ready\n");
    uloop_run();
    ubus_free(g_ctx);
    uloop_done();
    return 0;
}
