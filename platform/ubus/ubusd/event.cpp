// Events: patterns registered for objects, and delivery of each event to
// every object with a matching pattern, as a call that wants no answer.
#include "ubusd.h"

#include <algorithm>

namespace ubusd {

namespace {

struct pattern {
    std::string text;  // without the trailing '*'
    bool prefix;
    uint32_t objid;
};

std::vector<pattern> g_patterns;
uint16_t g_event_seq;

enum { EV_ID, EV_DATA, EV_MAX };
constexpr blobmsg_policy SEND_POLICY[EV_MAX] = {
    {"id", BLOBMSG_TYPE_STRING},
    {"data", BLOBMSG_TYPE_TABLE},
};

enum { REG_OBJECT, REG_PATTERN, REG_MAX };
constexpr blobmsg_policy REG_POLICY[REG_MAX] = {
    {"object", BLOBMSG_TYPE_INT32},
    {"pattern", BLOBMSG_TYPE_STRING},
};

bool matches(const pattern &p, const char *id)
{
    if (p.prefix)
        return !strncmp(id, p.text.c_str(), p.text.size());
    return p.text == id;
}

int add_pattern(client *cl, blob_attr *data)
{
    blob_attr *tb[REG_MAX];
    blobmsg_parse(REG_POLICY, REG_MAX, tb, blob_data(data), static_cast<unsigned int>(blob_len(data)));
    if (!tb[REG_OBJECT] || !tb[REG_PATTERN])
        return UBUS_STATUS_INVALID_ARGUMENT;
    uint32_t id = blobmsg_get_u32(tb[REG_OBJECT]);
    if (id < UBUS_SYSTEM_OBJECT_MAX)
        return UBUS_STATUS_PERMISSION_DENIED;
    object *obj = object_get(id);
    if (!obj)
        return UBUS_STATUS_NOT_FOUND;
    if (obj->owner != cl)
        return UBUS_STATUS_PERMISSION_DENIED;

    std::string text = blobmsg_get_string(tb[REG_PATTERN]);
    if (text.empty())
        return UBUS_STATUS_INVALID_ARGUMENT;
    bool prefix = text.back() == '*';
    if (prefix)
        text.pop_back();
    for (const pattern &p : g_patterns)
        if (p.objid == id && p.prefix == prefix && p.text == text)
            return UBUS_STATUS_OK;
    if (cl->patterns >= PATTERNS_MAX)
        return UBUS_STATUS_UNKNOWN_ERROR;
    g_patterns.push_back(pattern{text, prefix, id});
    cl->patterns++;
    return UBUS_STATUS_OK;
}

int forward_event(client *cl, blob_attr *data)
{
    blob_attr *tb[EV_MAX];
    blobmsg_parse(SEND_POLICY, EV_MAX, tb, blob_data(data), static_cast<unsigned int>(blob_len(data)));
    if (!tb[EV_ID] || !tb[EV_DATA])
        return UBUS_STATUS_INVALID_ARGUMENT;
    const char *id = blobmsg_get_string(tb[EV_ID]);
    // The daemon's own events cannot be forged.
    if (!strncmp(id, "ubus.", 5))
        return UBUS_STATUS_PERMISSION_DENIED;
    event_send(cl, id, blobmsg_data(tb[EV_DATA]), blobmsg_data_len(tb[EV_DATA]));
    return UBUS_STATUS_OK;
}

} // namespace

int event_recv(client *cl, const char *method, blob_attr *data)
{
    if (!data)
        return UBUS_STATUS_INVALID_ARGUMENT;
    if (!strcmp(method, "register"))
        return add_pattern(cl, data);
    if (!strcmp(method, "send"))
        return forward_event(cl, data);
    return UBUS_STATUS_INVALID_COMMAND;
}

void event_send(client *from, const char *id, const void *data, size_t len)
{
    // Once per object however many of its patterns match, and never back
    // to the sender.
    std::vector<uint32_t> targets;
    for (const pattern &p : g_patterns) {
        if (!matches(p, id))
            continue;
        object *obj = object_get(p.objid);
        if (!obj || obj->owner == from)
            continue;
        if (std::find(targets.begin(), targets.end(), p.objid) == targets.end())
            targets.push_back(p.objid);
    }

    ubus_msghdr hdr{};
    hdr.type = UBUS_MSG_INVOKE;
    hdr.peer = from ? from->id : 0;
    for (uint32_t objid : targets) {
        object *obj = object_get(objid);
        if (!obj)
            continue;
        blob_buf &b = scratch();
        blob_buf_init(&b, 0);
        blob_put_int32(&b, UBUS_ATTR_OBJID, objid);
        blob_put_string(&b, UBUS_ATTR_METHOD, id);
        blob_put(&b, UBUS_ATTR_DATA, data, static_cast<unsigned int>(len));
        blob_put_int8(&b, UBUS_ATTR_NO_REPLY, 1);
        if (blob_pad_len(b.head) > UBUS_MAX_MSGLEN)
            return;
        hdr.seq = ++g_event_seq;
        client_send(obj->owner, hdr, b.head);
    }
}

void event_object_gone(client *owner, uint32_t objid)
{
    size_t before = g_patterns.size();
    g_patterns.erase(std::remove_if(g_patterns.begin(), g_patterns.end(),
                                    [objid](const pattern &p) { return p.objid == objid; }),
                     g_patterns.end());
    size_t gone = before - g_patterns.size();
    owner->patterns = owner->patterns > gone ? owner->patterns - gone : 0;
}

void events_free()
{
    g_patterns.clear();
}

} // namespace ubusd
