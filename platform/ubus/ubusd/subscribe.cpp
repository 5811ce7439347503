// Subscriptions: a client's subscriber object watching another client's
// object. The watched object's owner learns when it gains its first or
// loses its last subscriber; its notifications go to every subscriber as
// calls whose answers come back to it.
#include "ubusd.h"

#include <algorithm>

namespace ubusd {

namespace {

struct subscription {
    uint32_t subscriber;
    uint32_t target;
};

std::vector<subscription> g_subs;
uint16_t g_notify_seq;

bool watched(uint32_t target)
{
    return std::any_of(g_subs.begin(), g_subs.end(),
                       [&](const subscription &s) { return s.target == target; });
}

// Tells the owner whether anyone watches its object now.
void send_active(uint32_t target)
{
    object *obj = object_get(target);
    if (!obj)
        return;
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, target);
    blob_put_int8(&b, UBUS_ATTR_ACTIVE, watched(target));
    ubus_msghdr hdr{};
    hdr.type = UBUS_MSG_NOTIFY;
    hdr.seq = ++g_notify_seq;
    client_send(obj->owner, hdr, b.head);
}

// Tells a subscriber that what it watched went away.
void send_unsubscribed(const subscription &s)
{
    object *obj = object_get(s.subscriber);
    if (!obj)
        return;
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, s.subscriber);
    blob_put_int32(&b, UBUS_ATTR_TARGET, s.target);
    ubus_msghdr hdr{};
    hdr.type = UBUS_MSG_UNSUBSCRIBE;
    hdr.seq = ++g_notify_seq;
    client_send(obj->owner, hdr, b.head);
}

// The subscriber object named in a (un)subscribe request, if it is the
// sender's own.
int own_subscriber(client *cl, msg &m, uint32_t *id)
{
    if (!m.tb[UBUS_ATTR_OBJID] || !m.tb[UBUS_ATTR_TARGET])
        return UBUS_STATUS_INVALID_ARGUMENT;
    *id = blob_get_u32(m.tb[UBUS_ATTR_OBJID]);
    object *obj = object_get(*id);
    if (!obj)
        return UBUS_STATUS_NOT_FOUND;
    return obj->owner == cl ? UBUS_STATUS_OK : UBUS_STATUS_INVALID_ARGUMENT;
}

} // namespace

int subscribe_add(client *cl, msg &m)
{
    uint32_t id;
    int ret = own_subscriber(cl, m, &id);
    if (ret)
        return ret;
    uint32_t target = blob_get_u32(m.tb[UBUS_ATTR_TARGET]);
    object *obj = object_get(target);
    if (!obj)
        return UBUS_STATUS_NOT_FOUND;
    if (obj->owner == cl)
        return UBUS_STATUS_INVALID_ARGUMENT;
    // A nameless object (a subscriber, an event handler) is watched only
    // by its owner's user or group.
    if (obj->path.empty() && obj->owner->user != cl->user && obj->owner->group != cl->group)
        return UBUS_STATUS_NOT_FOUND;
    bool first = !watched(target);
    g_subs.push_back(subscription{id, target});
    if (first)
        send_active(target);
    return UBUS_STATUS_OK;
}

int subscribe_remove(client *cl, msg &m)
{
    uint32_t id;
    int ret = own_subscriber(cl, m, &id);
    if (ret)
        return ret;
    uint32_t target = blob_get_u32(m.tb[UBUS_ATTR_TARGET]);
    auto it = std::find_if(g_subs.begin(), g_subs.end(), [&](const subscription &s) {
        return s.subscriber == id && s.target == target;
    });
    if (it == g_subs.end())
        return UBUS_STATUS_NOT_FOUND;
    g_subs.erase(it);
    if (!watched(target))
        send_active(target);
    return UBUS_STATUS_OK;
}

int notify_send(client *cl, msg &m)
{
    blob_attr **tb = m.tb;
    if (!tb[UBUS_ATTR_METHOD] || !tb[UBUS_ATTR_OBJID])
        return UBUS_STATUS_INVALID_ARGUMENT;
    blob_attr *data = tb[UBUS_ATTR_DATA];
    if (data && !ubus_wire::check_table(data))
        return UBUS_STATUS_INVALID_ARGUMENT;
    bool no_reply = tb[UBUS_ATTR_NO_REPLY] && blob_get_u8(tb[UBUS_ATTR_NO_REPLY]);
    uint32_t id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
    object *obj = object_get(id);
    if (!obj)
        return UBUS_STATUS_NOT_FOUND;
    if (obj->owner != cl)
        return UBUS_STATUS_PERMISSION_DENIED;

    std::vector<uint32_t> to;
    for (const subscription &s : g_subs)
        if (s.target == id)
            to.push_back(s.subscriber);
    // First the list of those that will answer, so that the notifier
    // knows whom to wait for.
    if (!no_reply) {
        blob_buf &b = scratch();
        blob_buf_init(&b, 0);
        blob_put_int32(&b, UBUS_ATTR_OBJID, id);
        void *c = blob_nest_start(&b, UBUS_ATTR_SUBSCRIBERS);
        for (uint32_t sub : to)
            blob_put_int32(&b, 0, sub);
        blob_nest_end(&b, c);
        blob_put_int32(&b, UBUS_ATTR_STATUS, 0);
        ubus_msghdr hdr = m.hdr;
        hdr.type = UBUS_MSG_STATUS;
        client_send(cl, hdr, b.head);
    }
    for (uint32_t sub : to) {
        object *s = object_get(sub);
        if (s)
            call_forward(cl, m, s, no_reply);
    }
    return -1;
}

void subscriptions_object_gone(uint32_t objid)
{
    std::vector<subscription> gone;
    auto keep = std::stable_partition(g_subs.begin(), g_subs.end(), [&](const subscription &s) {
        return s.subscriber != objid && s.target != objid;
    });
    gone.assign(keep, g_subs.end());
    g_subs.erase(keep, g_subs.end());
    std::vector<uint32_t> idle;
    for (const subscription &s : gone) {
        if (s.target == objid)
            send_unsubscribed(s);
        else if (!watched(s.target) && std::find(idle.begin(), idle.end(), s.target) == idle.end())
            idle.push_back(s.target);
    }
    for (uint32_t target : idle)
        send_active(target);
}

void subscriptions_free()
{
    g_subs.clear();
}

} // namespace ubusd
