#include "ubus.h"

#include <cstdlib>
#include <cstring>

// The router's headers carry no C++ linkage of their own.
extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
#include <libubus.h>
}

#include "log.h"
#include "status.h"

namespace {

constexpr char OBJECT[] = "zorvex";
constexpr int CALL_TIMEOUT_MS = 10000;
constexpr int RECONNECT_MS = 5000;
constexpr int NSLOTS = 2;

struct ubus_context *g_ubus_ctx;
ubus_hook_fn g_hooks[NSLOTS];
struct ubus_event_handler g_event_handlers[NSLOTS];
const char *g_event_names[NSLOTS];

struct uloop_timeout g_reconnect_timer;

// Compact JSON of a table, as every hook receives it.
char *to_text(struct blob_attr *msg)
{
    char *s = blobmsg_format_json_with_cb(msg, true, nullptr, nullptr, -1);
    if (!s) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to blobmsg format json response data\n");
        return nullptr;
    }
    bus_text_unescape(s);
    return s;
}

// who names the handler in the trace line.
void deliver(int slot, const char *who, struct blob_attr *msg)
{
    if (!msg) {
        ovimar_log(OVIMAR_LOG_ERR, "blob_attr is NULL\n");
        return;
    }
    char *text = to_text(msg);
    if (!text)
        return;
    ovimar_log(OVIMAR_LOG_DEBUG, "%s data:%s\n", who, text);
    if (g_hooks[slot])
        g_hooks[slot](text);
    free(text);
}

void collect_cb(struct ubus_request *req, int, struct blob_attr *msg)
{
    auto *result = static_cast<resp_buf *>(req->priv);
    if (!result || !msg) {
        ovimar_log(OVIMAR_LOG_ERR, "blob_attr is NULL\n");
        return;
    }
    char *text = to_text(msg);
    if (!text)
        return;
    // A second reply message replaces the first instead of leaking it.
    free(result->resp_text);
    result->resp_text = text;
    result->resp_len = strlen(text);
}

void forward_cb(struct ubus_request *, int, struct blob_attr *msg)
{
    deliver(UBUS_HOOK_LOCAL, "ubus_isp_call_data_handler", msg);
}

void notify_event_cb(struct ubus_context *, struct ubus_event_handler *, const char *,
                     struct blob_attr *msg)
{
    deliver(UBUS_HOOK_LOCAL, "ubus_isp_event_handler", msg);
}

void app_event_cb(struct ubus_context *, struct ubus_event_handler *, const char *,
                  struct blob_attr *msg)
{
    deliver(UBUS_HOOK_APP, "ubus_isp_event_handler", msg);
}

constexpr ubus_event_handler_t g_event_cbs[NSLOTS] = {notify_event_cb, app_event_cb};

bool lookup(uint32_t *id)
{
    return g_ubus_ctx && ubus_lookup_id(g_ubus_ctx, OBJECT, id) == 0;
}

int invoke(uint32_t id, const char *method, const char *args, ubus_data_handler_t cb,
           void *priv)
{
    struct blob_buf b;
    memset(&b, 0, sizeof(b));
    struct blob_attr *msg = nullptr;
    if (args) {
        blob_buf_init(&b, 0);
        blobmsg_add_json_from_string(&b, args);
        msg = b.head;
    }
    int ret = ubus_invoke_fd(g_ubus_ctx, id, method, msg, cb, priv, CALL_TIMEOUT_MS, -1);
    blob_buf_free(&b);
    return ret;
}

// Event subscriptions live in the bus daemon and die with the old
// connection; without this the agent would never hear APP_AUTH again.
void events_renew()
{
    for (int slot = 0; slot < NSLOTS; slot++)
        if (g_event_names[slot])
            ubus_event_register(g_event_names[slot], slot);
}

void reconnect()
{
    if (ubus_reconnect(g_ubus_ctx, nullptr) != 0) {
        // A daemon that accepts but fails its greeting leaves the closed
        // socket's number in the context, and the next attempt would
        // close it again: by then it may be the broker's socket.
        g_ubus_ctx->sock.fd = -1;
        ovimar_log(OVIMAR_LOG_INFO, "reconnect to ubusd failed\n");
        uloop_timeout_set(&g_reconnect_timer, RECONNECT_MS);
        return;
    }
    ovimar_log(OVIMAR_LOG_INFO, "reconnect to ubusd\n");
    ubus_add_uloop(g_ubus_ctx);
    // ubus_reconnect has already added the status object again; adding
    // it here too would make the bus refuse a second "ovimar".
    events_renew();
}

void reconnect_cb(struct uloop_timeout *)
{
    reconnect();
}

void connection_lost(struct ubus_context *)
{
    reconnect();
}

} // namespace

// Escapes come in pairs: "\\/" is an escaped backslash and a plain slash.
size_t bus_text_unescape(char *text)
{
    char *w = text;
    for (const char *r = text; *r; r++) {
        if (*r == '\\' && r[1] == '/') {
            *w++ = '/';
            r++;
            continue;
        }
        *w++ = *r;
        if (*r == '\\' && r[1])
            *w++ = *++r;
    }
    *w = '\0';
    return static_cast<size_t>(w - text);
}

int ovimar_ubus_connect()
{
    uloop_init();
    g_reconnect_timer.cb = reconnect_cb;
    g_ubus_ctx = ubus_connect(nullptr);
    if (!g_ubus_ctx)
        return -1;
    ubus_add_uloop(g_ubus_ctx);
    g_ubus_ctx->connection_lost = connection_lost;
    // The agent runs on without its status view; the bridge is what counts.
    int ret = status_object_add(g_ubus_ctx);
    if (ret != 0)
        ovimar_log(OVIMAR_LOG_WARNING, "failed to add ubus object %s:%d\n", STATUS_OBJECT, ret);
    return 0;
}

void ovimar_ubus_done()
{
    uloop_timeout_cancel(&g_reconnect_timer);
    if (g_ubus_ctx) {
        ubus_free(g_ubus_ctx);
        g_ubus_ctx = nullptr;
    }
    uloop_done();
}

struct ubus_context *ovimar_ubus_ctx()
{
    return g_ubus_ctx;
}

void ubus_hook_set(int slot, ubus_hook_fn hook)
{
    if (slot >= 0 && slot < NSLOTS)
        g_hooks[slot] = hook;
}

int ubus_event_register(const char *event, int slot)
{
    if (slot < 0 || slot >= NSLOTS || !g_ubus_ctx)
        return -1;
    g_event_handlers[slot].cb = g_event_cbs[slot];
    g_event_names[slot] = event;
    // The bus reports a refusal as a positive status: treat any as failure.
    if (ubus_register_event_handler(g_ubus_ctx, &g_event_handlers[slot], event) != 0) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to UBUS register %s event \n", event);
        return -1;
    }
    return 0;
}

int ubus_call_collect(const char *method, const char *args, struct resp_buf *result)
{
    if (!method || !result) {
        ovimar_log(OVIMAR_LOG_ERR, "invalid para method:%p result:%p\n",
                   static_cast<const void *>(method), static_cast<void *>(result));
        return -1;
    }
    uint32_t id;
    if (!lookup(&id))
        return -1;
    return invoke(id, method, args, collect_cb, result);
}

int ubus_call_forward(const char *method, const char *args)
{
    uint32_t id;
    if (!lookup(&id))
        return -1;
    int ret = invoke(id, method, args, forward_cb, nullptr);
    ovimar_log(OVIMAR_LOG_INFO, "zorvex ubus reply name:%s ret:%d\n", method, ret);
    return ret;
}
