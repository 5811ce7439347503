#include "bus_peer.h"

#include <cstdlib>
#include <cstring>

extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
#include <libubus.h>
}

namespace {

constexpr int CALL_TIMEOUT_MS = 10000; // as the agent's

// Owns a blob buffer filled from JSON text.
struct json_blob {
    struct blob_buf b;
    bool ok;
    explicit json_blob(const std::string &json)
    {
        memset(&b, 0, sizeof(b));
        blob_buf_init(&b, 0);
        ok = blobmsg_add_json_from_string(&b, json.c_str());
    }
    ~json_blob() { blob_buf_free(&b); }
    json_blob(const json_blob &) = delete;
    json_blob &operator=(const json_blob &) = delete;
};

// The reply as text, the form in which the agent hands it on.
void reply_cb(struct ubus_request *req, int, struct blob_attr *msg)
{
    auto *out = static_cast<std::string *>(req->priv);
    char *text = msg ? blobmsg_format_json(msg, true) : nullptr;
    if (out && text)
        *out = text;
    free(text);
}

int invoke(bus_peer &b, uint32_t obj, const char *method, const std::string &args,
           std::string *reply)
{
    json_blob msg(args);
    if (!msg.ok)
        return UBUS_STATUS_INVALID_ARGUMENT;
    return ubus_invoke(b.ctx, obj, method, msg.b.head, reply_cb, reply, CALL_TIMEOUT_MS);
}

} // namespace

bus_peer::~bus_peer()
{
    if (ctx)
        ubus_free(ctx);
}

bool bus_open(bus_peer &b, const std::string &socket)
{
    uloop_init();
    b.ctx = ubus_connect(socket.c_str());
    return b.ctx && ubus_lookup_id(b.ctx, "zorvex", &b.zorvex) == 0 &&
           ubus_lookup_id(b.ctx, "zorvex_sim", &b.control) == 0;
}

int bus_call(bus_peer &b, const char *method, const std::string &args, std::string *reply)
{
    reply->clear();
    return invoke(b, b.zorvex, method, args, reply);
}

int bus_emit(bus_peer &b, const std::string &event, const std::string &data)
{
    std::string ignored;
    return invoke(b, b.control, "emit", "{\"event\":\"" + event + "\",\"data\":" + data + "}",
                  &ignored);
}
