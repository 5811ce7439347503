// Calls in flight: forwarded to the object's owner, answered back to the
// caller. A call whose object goes away is forgotten: as on the router,
// its caller learns nothing and waits for its own timeout.
#include "ubusd.h"

#include <iterator>
#include <set>
#include <tuple>

namespace ubusd {

namespace {

// A caller has one call per sequence number and object: a notification
// is one call to each subscriber under the same number.
struct call {
    uint32_t caller;
    uint16_t seq;
    uint32_t objid;
    bool operator<(const call &o) const
    {
        return std::tie(caller, seq, objid) < std::tie(o.caller, o.seq, o.objid);
    }
};

std::set<call> g_calls;

// To the caller, the answer comes from the object.
void reply(uint32_t caller, const ubus_msghdr &req, uint32_t objid, int type, blob_attr *data,
           int status)
{
    client *cl = client_get(caller);
    if (!cl)
        return;
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    if (type == UBUS_MSG_STATUS)
        blob_put_int32(&b, UBUS_ATTR_STATUS, static_cast<uint32_t>(status));
    blob_put_int32(&b, UBUS_ATTR_OBJID, objid);
    if (data)
        blob_put(&b, UBUS_ATTR_DATA, blob_data(data), static_cast<unsigned int>(blob_len(data)));
    ubus_msghdr hdr = req;
    hdr.type = static_cast<uint8_t>(type);
    hdr.peer = objid;
    client_send(cl, hdr, b.head);
}

} // namespace

int call_forward(client *cl, msg &m, object *obj, bool no_reply)
{
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    if (no_reply)
        blob_put_int8(&b, UBUS_ATTR_NO_REPLY, 1);
    blob_put_int32(&b, UBUS_ATTR_OBJID, obj->id);
    blob_put_string(&b, UBUS_ATTR_METHOD, blob_get_string(m.tb[UBUS_ATTR_METHOD]));
    // Who calls, for the object's own access checks.
    blob_put_string(&b, UBUS_ATTR_USER, cl->user.c_str());
    blob_put_string(&b, UBUS_ATTR_GROUP, cl->group.c_str());
    blob_attr *data = m.tb[UBUS_ATTR_DATA];
    if (data)
        blob_put(&b, UBUS_ATTR_DATA, blob_data(data), static_cast<unsigned int>(blob_len(data)));
    if (blob_pad_len(b.head) > UBUS_MAX_MSGLEN)
        return UBUS_STATUS_INVALID_ARGUMENT;

    if (!no_reply)
        g_calls.insert(call{cl->id, m.hdr.seq, obj->id});
    ubus_msghdr hdr{};
    hdr.type = UBUS_MSG_INVOKE;
    hdr.seq = m.hdr.seq;
    hdr.peer = cl->id;
    client_send(obj->owner, hdr, b.head);
    return -1;
}

int call_invoke(client *cl, msg &m, object *obj)
{
    return call_forward(cl, m, obj, false);
}

int call_response(client *cl, msg &m)
{
    blob_attr **tb = m.tb;
    bool status = m.hdr.type == UBUS_MSG_STATUS;
    if (!tb[UBUS_ATTR_OBJID] || (status && !tb[UBUS_ATTR_STATUS]) ||
        (!status && (!tb[UBUS_ATTR_DATA] || !ubus_wire::check_table(tb[UBUS_ATTR_DATA]))))
        return -1;

    uint32_t objid = blob_get_u32(tb[UBUS_ATTR_OBJID]);
    object *obj = object_get(objid);
    auto it = g_calls.find(call{m.hdr.peer, m.hdr.seq, objid});
    // Only the owner answers, and only a call still in flight.
    if (!obj || obj->owner != cl || it == g_calls.end())
        return -1;
    if (status) {
        g_calls.erase(it);
        reply(m.hdr.peer, m.hdr, objid, UBUS_MSG_STATUS, nullptr,
              static_cast<int>(blob_get_u32(tb[UBUS_ATTR_STATUS])));
    } else {
        reply(m.hdr.peer, m.hdr, objid, UBUS_MSG_DATA, tb[UBUS_ATTR_DATA], 0);
    }
    return -1;
}

void calls_forget_object(uint32_t objid)
{
    for (auto it = g_calls.begin(); it != g_calls.end();)
        it = it->objid == objid ? g_calls.erase(it) : std::next(it);
}

void calls_drop_caller(uint32_t caller)
{
    for (auto it = g_calls.begin(); it != g_calls.end();) {
        if (it->caller == caller)
            it = g_calls.erase(it);
        else
            ++it;
    }
}

void calls_free()
{
    g_calls.clear();
}

} // namespace ubusd
