// The agent's side of the local bus: calls on "zorvex", two events, recovery.
#pragma once

#include <cstddef>

#include "https.h"

struct ubus_context;

using ubus_hook_fn = void (*)(const char *json);

enum {
    UBUS_HOOK_LOCAL = 0, // "Notify" events and forwarded-call replies
    UBUS_HOOK_APP = 1,   // "APP_AUTH" events
};

// Turns the formatter's escaped slashes plain in place and keeps every
// other escape, so the text stays JSON of the same values; returns the
// new length.
size_t bus_text_unescape(char *text);

int ovimar_ubus_connect();
void ovimar_ubus_done();
struct ubus_context *ovimar_ubus_ctx();

void ubus_hook_set(int slot, ubus_hook_fn hook);
int ubus_event_register(const char *event, int slot);
int ubus_call_collect(const char *method, const char *args, struct resp_buf *result);
int ubus_call_forward(const char *method, const char *args);
