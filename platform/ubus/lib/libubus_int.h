// State and helpers shared by the parts of the host libubus.
#pragma once

#include "../wire.h"

extern "C" {
#include "libubus.h"
}

namespace ubus_int {

// A waiting write gives up after this long: the daemon is stuck.
constexpr int SEND_WAIT_MS = 10000;
// How long a new connection waits for the daemon's hello.
constexpr int HELLO_WAIT_MS = 5000;

// One buffer for building outgoing messages; it is free again as soon as
// the message is sent, before any callback can run.
blob_buf &scratch();

// Sends one message; on failure marks the connection at its end and
// returns -1.
int send_msg(ubus_context *ctx, uint16_t seq, blob_attr *msg, int type, uint32_t peer);

// Registers req and sends its message. Returns 0, UBUS_STATUS_INVALID_ARGUMENT
// for a message over UBUS_MAX_MSGLEN, or UBUS_STATUS_CONNECTION_FAILED.
int start_request(ubus_context *ctx, ubus_request *req, blob_attr *msg, int type,
                  uint32_t peer);

// The socket's uloop callback: reads and handles whatever has arrived.
void handle_data(uloop_fd *u, unsigned int events);
// Waits up to timeout ms (0: no limit) for the socket, then handles it.
void poll_data(ubus_context *ctx, int timeout);

// Each takes the message's data, which it frees or keeps.
void process_msg(ubus_context *ctx, ubus_msghdr_buf *buf);
void process_req_msg(ubus_context *ctx, ubus_msghdr_buf *buf);
void process_obj_msg(ubus_context *ctx, ubus_msghdr_buf *buf);

// Incoming calls and events held back while a synchronous call waits.
void queue_msg(ubus_context *ctx, ubus_msghdr_buf *buf);
void process_pending(uloop_timeout *t);
void drop_pending(ubus_context *ctx);

// A request's DATA attribute: msg's members, or none.
void put_data(blob_buf &b, blob_attr *msg);
// Ends a request with ret (its callbacks run unless it is blocked).
void set_status(ubus_request *req, int ret);

// subscribe.cpp: the method of every subscriber object, which takes any
// notification; a notification's answers from its subscribers.
extern const ubus_method watch_method;
int notify_index(ubus_notify_request *n, uint32_t peer);
void notify_status(ubus_notify_request *n, int id, blob_attr *msg);
void process_unsubscribe(ubus_context *ctx, ubus_object *obj, blob_attr **tb);
void process_notify(ubus_context *ctx, ubus_object *obj, blob_attr **tb);

// After a reconnect: every object is added again.
void refresh_state(ubus_context *ctx);

const char *default_path();

} // namespace ubus_int
