// Objects and their types (method signatures, shared between objects by
// id), ids, and lookup by path.
#include "ubusd.h"

#include <algorithm>
#include <map>
#include <random>
#include <unordered_map>

namespace ubusd {

namespace {

struct type_rec {
    std::vector<uint8_t> signature;  // the SIGNATURE attribute as received
    int refs;
};

std::unordered_map<uint32_t, object> g_objects;
std::map<std::string, uint32_t> g_paths;  // sorted, as a listing is
std::unordered_map<uint32_t, type_rec> g_types;

std::mt19937 &rng()
{
    static std::mt19937 r{std::random_device{}()};
    return r;
}

// Ids are random, as the router's daemon's are: a client that kept an old
// id across a restart of the daemon finds nothing rather than a stranger.
uint32_t random_id(bool (*used)(uint32_t))
{
    for (;;) {
        uint32_t id = rng()();
        if (id >= UBUS_SYSTEM_OBJECT_MAX && !used(id))
            return id;
    }
}

bool type_used(uint32_t id)
{
    return g_types.count(id) != 0;
}

// Returns whether the type went with its last object.
bool type_put(uint32_t id)
{
    auto it = g_types.find(id);
    if (it == g_types.end() || --it->second.refs > 0)
        return false;
    g_types.erase(it);
    return true;
}

void object_event(const object &obj, bool add)
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    blobmsg_add_u32(&b, "id", obj.id);
    blobmsg_add_string(&b, "path", obj.path.c_str());
    event_send(nullptr, add ? "ubus.object.add" : "ubus.object.remove", blob_data(b.head),
               blob_len(b.head));
    blob_buf_free(&b);
}

// Answers an add or a remove: the object's id, and its type's when the
// client must learn it (new) or forget it (gone).
void send_object(client *cl, const ubus_msghdr &req, uint32_t id, uint32_t type)
{
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, id);
    if (type)
        blob_put_int32(&b, UBUS_ATTR_OBJTYPE, type);
    ubus_msghdr hdr = req;
    hdr.type = UBUS_MSG_DATA;
    client_send(cl, hdr, b.head);
}

// Returns whether its type went with it.
bool destroy(uint32_t id)
{
    auto it = g_objects.find(id);
    if (it == g_objects.end())
        return false;
    object obj = it->second;
    g_objects.erase(it);
    if (!obj.path.empty())
        g_paths.erase(obj.path);
    event_object_gone(obj.owner, id);
    calls_forget_object(id);
    subscriptions_object_gone(id);
    if (!obj.path.empty())
        object_event(obj, false);
    return obj.type && type_put(obj.type);
}

void send_found(client *cl, const ubus_msghdr &req, const object &obj)
{
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, obj.id);
    blob_put_string(&b, UBUS_ATTR_OBJPATH, obj.path.c_str());
    blob_put_int32(&b, UBUS_ATTR_OBJTYPE, obj.type);
    auto t = g_types.find(obj.type);
    if (t != g_types.end())
        blob_put_raw(&b, t->second.signature.data(),
                     static_cast<unsigned int>(t->second.signature.size()));
    ubus_msghdr hdr = req;
    hdr.type = UBUS_MSG_DATA;
    client_send(cl, hdr, b.head);
}

} // namespace

bool id_in_use(uint32_t id)
{
    return g_objects.count(id) || client_get(id);
}

uint32_t alloc_id()
{
    return random_id(id_in_use);
}

object *object_get(uint32_t id)
{
    auto it = g_objects.find(id);
    return it == g_objects.end() ? nullptr : &it->second;
}

int object_add(client *cl, msg &m)
{
    blob_attr **tb = m.tb;
    std::string path = tb[UBUS_ATTR_OBJPATH] ? blob_get_string(tb[UBUS_ATTR_OBJPATH]) : "";
    if (tb[UBUS_ATTR_OBJPATH] && (path.empty() || g_paths.count(path)))
        return UBUS_STATUS_INVALID_ARGUMENT;
    if (cl->objects.size() >= OBJECTS_MAX)
        return UBUS_STATUS_UNKNOWN_ERROR;

    uint32_t type = 0;
    if (tb[UBUS_ATTR_OBJTYPE]) {
        type = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
        auto t = g_types.find(type);
        if (t == g_types.end())
            return UBUS_STATUS_NOT_FOUND;
        t->second.refs++;
    } else if (tb[UBUS_ATTR_SIGNATURE]) {
        blob_attr *sig = tb[UBUS_ATTR_SIGNATURE];
        if (!ubus_wire::check_table(sig))
            return UBUS_STATUS_INVALID_ARGUMENT;
        type = random_id(type_used);
        auto *p = reinterpret_cast<const uint8_t *>(sig);
        g_types[type] = type_rec{std::vector<uint8_t>(p, p + blob_raw_len(sig)), 1};
    }

    object obj{alloc_id(), path, type, cl};
    g_objects.emplace(obj.id, obj);
    if (!path.empty())
        g_paths.emplace(path, obj.id);
    cl->objects.push_back(obj.id);
    send_object(cl, m.hdr, obj.id, type);
    if (!path.empty())
        object_event(obj, true);
    return UBUS_STATUS_OK;
}

int object_remove(client *cl, msg &m)
{
    if (!m.tb[UBUS_ATTR_OBJID])
        return UBUS_STATUS_INVALID_ARGUMENT;
    uint32_t id = blob_get_u32(m.tb[UBUS_ATTR_OBJID]);
    object *obj = object_get(id);
    if (!obj)
        return UBUS_STATUS_NOT_FOUND;
    if (obj->owner != cl)
        return UBUS_STATUS_PERMISSION_DENIED;
    uint32_t type = obj->type;
    cl->objects.erase(std::find(cl->objects.begin(), cl->objects.end(), id));
    bool type_gone = destroy(id);
    send_object(cl, m.hdr, id, type_gone ? type : 0);
    return UBUS_STATUS_OK;
}

int object_lookup(client *cl, msg &m)
{
    blob_attr *p = m.tb[UBUS_ATTR_OBJPATH];
    std::string path = p ? blob_get_string(p) : "";
    bool prefix = !p || (!path.empty() && path.back() == '*');
    if (prefix && !path.empty())
        path.pop_back();

    bool found = false;
    if (!prefix) {
        auto it = g_paths.find(path);
        if (it != g_paths.end()) {
            send_found(cl, m.hdr, g_objects.at(it->second));
            found = true;
        }
    } else {
        for (auto it = g_paths.lower_bound(path);
             it != g_paths.end() && it->first.compare(0, path.size(), path) == 0; ++it) {
            send_found(cl, m.hdr, g_objects.at(it->second));
            found = true;
        }
    }
    // Listing everything finds nothing wrong with an empty bus.
    return found || !p ? UBUS_STATUS_OK : UBUS_STATUS_NOT_FOUND;
}

void objects_drop(client *cl)
{
    std::vector<uint32_t> ids;
    ids.swap(cl->objects);
    for (uint32_t id : ids)
        destroy(id);
}

void objects_free()
{
    g_objects.clear();
    g_paths.clear();
    g_types.clear();
}

} // namespace ubusd
