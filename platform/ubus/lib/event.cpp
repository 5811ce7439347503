// Events: a handler is an object without a name whose one method takes
// every call; the daemon delivers matching events to it as calls.
#include "libubus_int.h"

using namespace ubus_int;

namespace {

int event_cb(ubus_context *ctx, ubus_object *obj, ubus_request_data *, const char *method,
             blob_attr *msg)
{
    auto *ev = container_of(obj, ubus_event_handler, obj);
    if (ev->cb)
        ev->cb(ctx, ev, method, msg);
    return 0;
}

const ubus_method event_method = {nullptr, event_cb, 0, 0, nullptr, 0};

} // namespace

extern "C" {

int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev,
                                const char *pattern)
{
    ubus_object *obj = &ev->obj;

    if (!obj->id) {
        obj->methods = &event_method;
        obj->n_methods = 1;
        if (!!obj->name ^ !!obj->type)
            return UBUS_STATUS_INVALID_ARGUMENT;
        int ret = ubus_add_object(ctx, obj);
        if (ret)
            return ret;
    }

    // Not the shared buffer: ubus_invoke builds its own message in it.
    blob_buf b2{};
    blob_buf_init(&b2, 0);
    blobmsg_add_u32(&b2, "object", obj->id);
    if (pattern)
        blobmsg_add_string(&b2, "pattern", pattern);
    int ret = ubus_invoke(ctx, UBUS_SYSTEM_OBJECT_EVENT, "register", b2.head, nullptr,
                          nullptr, 0);
    blob_buf_free(&b2);
    return ret;
}

int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data)
{
    if (!id)
        return UBUS_STATUS_INVALID_ARGUMENT;

    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
    blob_put_string(&b, UBUS_ATTR_METHOD, "send");
    void *s = blob_nest_start(&b, UBUS_ATTR_DATA);
    blobmsg_add_string(&b, "id", id);
    blobmsg_add_field(&b, BLOBMSG_TYPE_TABLE, "data", data ? blob_data(data) : nullptr,
                      data ? static_cast<unsigned int>(blob_len(data)) : 0);
    blob_nest_end(&b, s);

    ubus_request req{};
    int ret = start_request(ctx, &req, b.head, UBUS_MSG_INVOKE, UBUS_SYSTEM_OBJECT_EVENT);
    if (ret)
        return ret;
    return ubus_complete_request(ctx, &req, 0);
}

} // extern "C"
