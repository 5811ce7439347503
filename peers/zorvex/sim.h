// Simulated carrier service: what its units share.
#pragma once

struct ubus_context;

extern ubus_context *g_ctx;

// The object "zorvex_sim": commands for the service itself ("emit" sends
// an event as the real service does).
int control_add(ubus_context *ctx);
