// The monitor: clients that asked (root only, as on the router) get a copy
// of every message the daemon receives or sends, with who and which way.
#include "ubusd.h"

#include <algorithm>
#include <cstring>

namespace ubusd {

namespace {

struct watcher {
    uint32_t client;
    uint16_t seq;
};

std::vector<watcher> g_watchers;

void remove_watcher(uint32_t id)
{
    g_watchers.erase(std::remove_if(g_watchers.begin(), g_watchers.end(),
                                    [&](const watcher &w) { return w.client == id; }),
                     g_watchers.end());
}

} // namespace

int monitor_recv(client *cl, const char *method)
{
    if (cl->uid != 0 || cl->gid != 0)
        return UBUS_STATUS_PERMISSION_DENIED;
    if (!strcmp(method, "add")) {
        remove_watcher(cl->id);
        g_watchers.push_back(watcher{cl->id, 0});
        return UBUS_STATUS_OK;
    }
    if (!strcmp(method, "remove")) {
        remove_watcher(cl->id);
        return UBUS_STATUS_OK;
    }
    return UBUS_STATUS_METHOD_NOT_FOUND;
}

void monitor_message(const client *cl, const ubus_msghdr &hdr, const blob_attr *data, bool sent)
{
    if (g_watchers.empty() || hdr.type == UBUS_MSG_MONITOR)
        return;
    // Its own buffer: the message copied may be the scratch buffer's.
    blob_buf b{};
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_MONITOR_CLIENT, cl->id);
    blob_put_int32(&b, UBUS_MONITOR_PEER, hdr.peer);
    blob_put_int32(&b, UBUS_MONITOR_SEQ, hdr.seq);
    blob_put_int32(&b, UBUS_MONITOR_TYPE, hdr.type);
    blob_put_int8(&b, UBUS_MONITOR_SEND, sent);
    blob_put(&b, UBUS_MONITOR_DATA, blob_data(data), static_cast<unsigned int>(blob_len(data)));
    // A copy per watcher: sending may drop one and so change the list.
    std::vector<watcher> now = g_watchers;
    for (watcher &w : g_watchers)
        w.seq++;
    for (const watcher &w : now) {
        ubus_msghdr mh{};
        mh.type = UBUS_MSG_MONITOR;
        mh.seq = static_cast<uint16_t>(w.seq + 1);
        client_send(client_get(w.client), mh, b.head);
    }
    blob_buf_free(&b);
}

void monitor_drop(uint32_t client)
{
    remove_watcher(client);
}

void monitors_free()
{
    g_watchers.clear();
}

} // namespace ubusd
