// The host bus daemon: clients, their objects, event patterns, subscriptions
// and the calls in flight, one process-wide record each.
#pragma once

#include "../wire.h"

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

extern "C" {
#include <libubox/uloop.h>
}

namespace ubusd {

// A client whose unsent messages pile up past this is not reading: it is
// dropped rather than allowed to grow the daemon without bound.
constexpr size_t TXQ_MAX = 8 * UBUS_MAX_MSGLEN;
// Per client: enough for any real service, small enough to bound memory.
constexpr size_t OBJECTS_MAX = 4096;
constexpr size_t PATTERNS_MAX = 4096;

struct client {
    uint32_t id;
    uloop_fd sock;
    bool dead;
    // receiving: the header, then the blob attribute
    uint8_t head[ubus_wire::HEAD_LEN];
    size_t have;
    std::vector<uint8_t> body;
    // sending
    std::deque<std::vector<uint8_t>> txq;
    size_t tx_off;
    size_t tx_bytes;
    std::vector<uint32_t> objects;
    size_t patterns;
    // who is on the other end, as the socket says
    uid_t uid;
    gid_t gid;
    std::string user;
    std::string group;
};

// A received message; tb points into data.
struct msg {
    ubus_msghdr hdr;
    blob_attr *data;
    blob_attr *tb[UBUS_ATTR_MAX];
};

// client.cpp
void client_accept(int fd);
client *client_get(uint32_t id);
// Queues one message; a client that cannot take it is dropped.
void client_send(client *cl, const ubus_msghdr &hdr, const blob_attr *data);
void client_drop(client *cl);
void clients_free();

// proto.cpp: handles one message of a client.
void proto_handle(client *cl, msg &m);
// A buffer for the message being built; free again once it is sent.
blob_buf &scratch();
void send_status(client *cl, const ubus_msghdr &req, int status, uint32_t objid = 0);

// object.cpp
struct object {
    uint32_t id;
    std::string path;  // empty: an event handler's object
    uint32_t type;     // 0: none
    client *owner;
};
uint32_t alloc_id();
bool id_in_use(uint32_t id);
object *object_get(uint32_t id);
int object_add(client *cl, msg &m);
int object_remove(client *cl, msg &m);
int object_lookup(client *cl, msg &m);
// Everything of a client that is going away.
void objects_drop(client *cl);
void objects_free();

// event.cpp
int event_recv(client *cl, const char *method, blob_attr *data);
// from: the sending client, or null for the daemon's own events
void event_send(client *from, const char *id, const void *data, size_t len);
void event_object_gone(client *owner, uint32_t objid);
void events_free();

// call.cpp: calls forwarded to an object's owner and not yet answered
int call_invoke(client *cl, msg &m, object *obj);
// m's method and data to obj's owner, answered to cl unless no_reply.
int call_forward(client *cl, msg &m, object *obj, bool no_reply);
int call_response(client *cl, msg &m);
void calls_forget_object(uint32_t objid);
void calls_drop_caller(uint32_t caller);
void calls_free();

// subscribe.cpp
int subscribe_add(client *cl, msg &m);
int subscribe_remove(client *cl, msg &m);
int notify_send(client *cl, msg &m);
// Ends the subscriptions of and to an object that went away.
void subscriptions_object_gone(uint32_t objid);
void subscriptions_free();

// monitor.cpp: the system object UBUS_SYSTEM_OBJECT_MONITOR ("add",
// "remove"), and a copy of each message to those that added themselves.
int monitor_recv(client *cl, const char *method);
void monitor_message(const client *cl, const ubus_msghdr &hdr, const blob_attr *data, bool sent);
void monitor_drop(uint32_t client);
void monitors_free();

} // namespace ubusd
