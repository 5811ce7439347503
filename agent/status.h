// ubus object "ovimar": a read-only look at where the agent stands, for
// operators in the field (`ubus call ovimar status`).
#pragma once

struct ubus_context;

constexpr char STATUS_OBJECT[] = "ovimar";

// Registers the object once per context; libubus itself adds it again
// after every ubus_reconnect. Returns 0 or the bus status.
int status_object_add(struct ubus_context *ctx);
