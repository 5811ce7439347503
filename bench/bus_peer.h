// The bench's own bus client: calls the carrier service directly, as the
// agent does, and makes it send events.
#pragma once

#include <cstdint>
#include <string>

struct ubus_context;

struct bus_peer {
    struct ubus_context *ctx = nullptr;
    uint32_t zorvex = 0, control = 0; // object ids of "zorvex" and "zorvex_sim"

    bus_peer() = default;
    bus_peer(const bus_peer &) = delete;
    bus_peer &operator=(const bus_peer &) = delete;
    ~bus_peer();
};

bool bus_open(bus_peer &b, const std::string &socket);
// A call of method on "zorvex" with the JSON object args; the reply text
// (empty when the call failed) goes to reply.
int bus_call(bus_peer &b, const char *method, const std::string &args, std::string *reply);
// The service sends event with data, as on an app's request.
int bus_emit(bus_peer &b, const std::string &event, const std::string &data);
