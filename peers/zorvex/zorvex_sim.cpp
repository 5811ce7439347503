// Simulated carrier service: owns the bus object "zorvex" and answers each
// method with the JSON object a file gives for it.
//
//   zorvex_sim [-s SOCKET] REPLIES.json
//
// REPLIES.json maps method names to reply objects (null: answer with no
// data). Members starting with "_" steer the reply and are not sent:
//   "_delay_ms": N   the reply comes N ms later
//   "_status": N     the call fails with ubus status N, no reply
//   "_result": N     answer a forwarded platform request: the reply carries
//                    the request's own "id" and "result" N
// Every call is printed as "call METHOD ARGS" so tests can see what reached
// the service. The object "zorvex_sim" sends events on command (control.cpp).
// When the bus daemon goes away the service reconnects once it is back.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

#include <json-c/json.h>

#include "sim.h"

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
constexpr int RECONNECT_MS = 200;
const char *g_sock;  // nullptr: the default socket
uloop_timeout g_reconnect_timer;

struct delayed {
    uloop_timeout timer; // first: the callback gets its address
    ubus_request_data req;
    json_object *reply;
    json_object *id;     // the request's, for "_result" replies
};

std::list<delayed> g_delayed; // replies still waiting

json_object *member(json_object *o, const char *key)
{
    json_object *v = nullptr;
    return json_object_object_get_ex(o, key, &v) ? v : nullptr;
}

// id: the request's own, when the reply answers a platform request.
void send(ubus_request_data *req, json_object *reply, json_object *id)
{
    blob_buf b = {};
    blob_buf_init(&b, 0);
    json_object *result = member(reply, "_result");
    if (result) {
        if (id)
            blobmsg_add_json_element(&b, "id", id);
        blobmsg_add_json_element(&b, "result", result);
    }
    json_object_object_foreach(reply, key, val) {
        if (key[0] != '_' && !(result && (!strcmp(key, "id") || !strcmp(key, "result"))))
            blobmsg_add_json_element(&b, key, val);
    }
    ubus_send_reply(g_ctx, req, b.head);
    blob_buf_free(&b);
}

void delayed_cb(uloop_timeout *t)
{
    auto *d = reinterpret_cast<delayed *>(t);
    send(&d->req, d->reply, d->id);
    ubus_complete_deferred_request(g_ctx, &d->req, UBUS_STATUS_OK);
    json_object_put(d->id);
    g_delayed.remove_if([d](const delayed &x) { return &x == d; });
}

int handle(ubus_context *, ubus_object *, ubus_request_data *req, const char *method,
           blob_attr *msg)
{
    char *args = msg ? blobmsg_format_json(msg, true) : nullptr;
    printf("call %s %s\n", method, args ? args : "null");
    json_ptr request(args ? json_tokener_parse(args) : nullptr);
    free(args);

    json_object *reply = nullptr;
    if (!json_object_object_get_ex(g_replies.get(), method, &reply))
        return UBUS_STATUS_METHOD_NOT_FOUND;
    if (!reply)
        return UBUS_STATUS_OK;
    if (json_object *status = member(reply, "_status"))
        return json_object_get_int(status);
    json_object *id = request ? member(request.get(), "id") : nullptr;
    json_object *delay = member(reply, "_delay_ms");
    if (!delay) {
        send(req, reply, id);
        return UBUS_STATUS_OK;
    }
    delayed *d = &g_delayed.emplace_back();
    d->timer.cb = delayed_cb;
    d->reply = reply;
    d->id = json_object_get(id);
    ubus_defer_request(g_ctx, req, &d->req);
    uloop_timeout_set(&d->timer, json_object_get_int(delay));
    return UBUS_STATUS_OK;
}

void reconnect_cb(uloop_timeout *t)
{
    if (ubus_reconnect(g_ctx, g_sock) != 0) {
        // Left there, the closed number would be closed again next time.
        g_ctx->sock.fd = -1;
        uloop_timeout_set(t, RECONNECT_MS);
        return;
    }
    ubus_add_uloop(g_ctx);
    printf("reconnected\n");
}

void connection_lost(ubus_context *)
{
    printf("bus lost\n");
    reconnect_cb(&g_reconnect_timer);
}

} // namespace

ubus_context *g_ctx;

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
    g_sock = sock;
    g_ctx = ubus_connect(sock);
    if (!g_ctx) {
        fprintf(stderr, "zorvex_sim: cannot connect to the bus\n");
        return 1;
    }
    ubus_add_uloop(g_ctx);
    g_ctx->connection_lost = connection_lost;
    g_reconnect_timer.cb = reconnect_cb;
    int ret = ubus_add_object(g_ctx, &obj);
    if (!ret)
        ret = control_add(g_ctx);
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
