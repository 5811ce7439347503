// Subscribers and notifications: a subscriber is an object whose one
// nameless method takes whatever its targets notify; a notification waits
// first for the daemon's list of subscribers, then for each one's answer.
#include "libubus_int.h"

using namespace ubus_int;

namespace {

int subscriber_cb(ubus_context *ctx, ubus_object *obj, ubus_request_data *req,
                  const char *method, blob_attr *msg)
{
    ubus_subscriber *s = container_of(obj, ubus_subscriber, obj);
    return s->cb ? s->cb(ctx, obj, req, method, msg) : 0;
}

int watch_request(ubus_context *ctx, ubus_object *obj, uint32_t id, int type)
{
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, obj->id);
    blob_put_int32(&b, UBUS_ATTR_TARGET, id);
    ubus_request req{};
    if (start_request(ctx, &req, b.head, type, 0))
        return UBUS_STATUS_INVALID_ARGUMENT;
    return ubus_complete_request(ctx, &req, 0);
}

void notify_complete(ubus_request *req, int)
{
    auto *n = container_of(req, ubus_notify_request, req);
    if (n->complete_cb)
        n->complete_cb(n, 0, 0);
}

void notify_data(ubus_request *req, int type, blob_attr *msg)
{
    auto *n = container_of(req, ubus_notify_request, req);
    if (n->data_cb)
        n->data_cb(n, type, msg);
}

int notify_start(ubus_context *ctx, ubus_object *obj, const char *type, blob_attr *msg,
                 ubus_notify_request *req, bool reply)
{
    memset(req, 0, sizeof(*req));
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, obj->id);
    blob_put_string(&b, UBUS_ATTR_METHOD, type);
    put_data(b, msg);
    if (!reply)
        blob_put_int8(&b, UBUS_ATTR_NO_REPLY, 1);
    if (start_request(ctx, &req->req, b.head, UBUS_MSG_NOTIFY, obj->id))
        return UBUS_STATUS_INVALID_ARGUMENT;
    // Index 0 is the daemon's answer, which names the subscribers.
    req->req.notify = true;
    req->pending = 1;
    req->id[0] = obj->id;
    req->req.complete_cb = notify_complete;
    req->req.data_cb = notify_data;
    return 0;
}

} // namespace

namespace ubus_int {

const ubus_method watch_method = {nullptr, subscriber_cb, 0, 0, nullptr, 0};

int notify_index(ubus_notify_request *n, uint32_t peer)
{
    for (int i = 0; i <= UBUS_MAX_NOTIFY_PEERS; i++)
        if ((n->pending & (1u << i)) && n->id[i] == peer)
            return i;
    return -1;
}

void notify_status(ubus_notify_request *n, int id, blob_attr *msg)
{
    blob_attr *tb[UBUS_ATTR_MAX];
    ubus_wire::parse(msg, tb);
    n->pending &= ~(1u << id);
    if (id == 0) {
        int idx = 1;
        blob_attr *cur;
        size_t rem;
        if (tb[UBUS_ATTR_SUBSCRIBERS]) {
            blob_for_each_attr(cur, tb[UBUS_ATTR_SUBSCRIBERS], rem) {
                if (idx > UBUS_MAX_NOTIFY_PEERS)
                    break;
                if (blob_len(cur) != sizeof(uint32_t))
                    continue;
                n->pending |= 1u << idx;
                n->id[idx++] = blob_get_u32(cur);
            }
        }
    } else if (n->status_cb) {
        int ret = tb[UBUS_ATTR_STATUS] ? static_cast<int>(blob_get_u32(tb[UBUS_ATTR_STATUS])) : 0;
        n->status_cb(n, id, ret);
    }
    if (!n->pending)
        set_status(&n->req, 0);
}

void process_unsubscribe(ubus_context *ctx, ubus_object *obj, blob_attr **tb)
{
    if (!obj || !tb[UBUS_ATTR_TARGET] || obj->methods != &watch_method)
        return;
    ubus_subscriber *s = container_of(obj, ubus_subscriber, obj);
    if (s->remove_cb)
        s->remove_cb(ctx, s, blob_get_u32(tb[UBUS_ATTR_TARGET]));
}

void process_notify(ubus_context *ctx, ubus_object *obj, blob_attr **tb)
{
    if (!obj || !tb[UBUS_ATTR_ACTIVE])
        return;
    obj->has_subscribers = blob_get_u8(tb[UBUS_ATTR_ACTIVE]);
    if (obj->subscribe_cb)
        obj->subscribe_cb(ctx, obj);
}

} // namespace ubus_int

extern "C" {

int ubus_register_subscriber(struct ubus_context *ctx, struct ubus_subscriber *s)
{
    s->obj.methods = &watch_method;
    s->obj.n_methods = 1;
    return ubus_add_object(ctx, &s->obj);
}

int ubus_subscribe(struct ubus_context *ctx, struct ubus_subscriber *obj, uint32_t id)
{
    return watch_request(ctx, &obj->obj, id, UBUS_MSG_SUBSCRIBE);
}

int ubus_unsubscribe(struct ubus_context *ctx, struct ubus_subscriber *obj, uint32_t id)
{
    return watch_request(ctx, &obj->obj, id, UBUS_MSG_UNSUBSCRIBE);
}

int ubus_notify_async(struct ubus_context *ctx, struct ubus_object *obj, const char *type,
                      struct blob_attr *msg, struct ubus_notify_request *req)
{
    return notify_start(ctx, obj, type, msg, req, true);
}

int ubus_notify(struct ubus_context *ctx, struct ubus_object *obj, const char *type,
                struct blob_attr *msg, int timeout)
{
    ubus_notify_request req;
    int ret = notify_start(ctx, obj, type, msg, &req, timeout >= 0);
    if (ret)
        return ret;
    if (timeout < 0) {
        ubus_abort_request(ctx, &req.req);
        return 0;
    }
    return ubus_complete_request(ctx, &req.req, timeout);
}

int __ubus_monitor(struct ubus_context *ctx, const char *type)
{
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    return ubus_invoke(ctx, UBUS_SYSTEM_OBJECT_MONITOR, type, b.head, nullptr, nullptr, 1000);
}

} // extern "C"
