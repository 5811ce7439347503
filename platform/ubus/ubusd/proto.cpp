// Messages from clients, by type. A handler returns the status to answer
// with, or -1 when it answers itself (or the answer comes from elsewhere).
#include "ubusd.h"

namespace ubusd {

namespace {

int handle_ping(client *cl, msg &m)
{
    ubus_msghdr hdr = m.hdr;
    hdr.type = UBUS_MSG_DATA;
    client_send(cl, hdr, m.data);
    return 0;
}

int handle_invoke(client *cl, msg &m)
{
    if (!m.tb[UBUS_ATTR_OBJID] || !m.tb[UBUS_ATTR_METHOD])
        return UBUS_STATUS_INVALID_ARGUMENT;
    uint32_t id = blob_get_u32(m.tb[UBUS_ATTR_OBJID]);
    // The router's libubus sends the monitor requests with a DATA that
    // is not a table; the monitor reads no data.
    if (id == UBUS_SYSTEM_OBJECT_MONITOR)
        return monitor_recv(cl, blob_get_string(m.tb[UBUS_ATTR_METHOD]));
    blob_attr *data = m.tb[UBUS_ATTR_DATA];
    if (data && !ubus_wire::check_table(data))
        return UBUS_STATUS_INVALID_ARGUMENT;

    if (id == UBUS_SYSTEM_OBJECT_EVENT)
        return event_recv(cl, blob_get_string(m.tb[UBUS_ATTR_METHOD]), data);

    object *obj = id >= UBUS_SYSTEM_OBJECT_MAX ? object_get(id) : nullptr;
    if (!obj)
        return UBUS_STATUS_NOT_FOUND;
    return call_invoke(cl, m, obj);
}

int handle_response(client *cl, msg &m)
{
    return call_response(cl, m);
}

int not_supported(client *, msg &)
{
    return UBUS_STATUS_NOT_SUPPORTED;
}

using handler = int (*)(client *, msg &);

constexpr handler HANDLERS[__UBUS_MSG_LAST] = {
    nullptr,          // HELLO: the daemon's to send
    handle_response,  // STATUS
    handle_response,  // DATA
    handle_ping,      // PING
    object_lookup,    // LOOKUP
    handle_invoke,    // INVOKE
    object_add,       // ADD_OBJECT
    object_remove,    // REMOVE_OBJECT
    subscribe_add,    // SUBSCRIBE
    subscribe_remove, // UNSUBSCRIBE
    notify_send,      // NOTIFY
    not_supported,    // MONITOR: the daemon's to send
};

} // namespace

blob_buf &scratch()
{
    static blob_buf b;
    return b;
}

void send_status(client *cl, const ubus_msghdr &req, int status, uint32_t objid)
{
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_STATUS, static_cast<uint32_t>(status));
    if (objid)
        blob_put_int32(&b, UBUS_ATTR_OBJID, objid);
    ubus_msghdr hdr = req;
    hdr.type = UBUS_MSG_STATUS;
    client_send(cl, hdr, b.head);
}

void proto_handle(client *cl, msg &m)
{
    handler h = m.hdr.type < __UBUS_MSG_LAST ? HANDLERS[m.hdr.type] : nullptr;
    int ret = h ? h(cl, m) : UBUS_STATUS_INVALID_COMMAND;
    if (ret >= 0)
        send_status(cl, m.hdr, ret);
}

} // namespace ubusd
