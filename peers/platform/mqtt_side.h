// The platform's MQTT side: connects to the broker it hands out, listens
// on the device's uuid topic, answers devInfoSync and bind as the platform
// does, publishes requests on command and records every message it saw.
#pragma once

#include <string>

#include "platform.h"

// Connects and runs the client on a thread of its own; false when it
// cannot. Prints "connected RC", "subscribed UUID", "seen PAYLOAD" and
// "sent PAYLOAD" (or "unsent") lines.
bool mqtt_side_start(const platform_config &cfg);
// Publishes one request or answer to the device; 0 or the library's code.
int mqtt_side_send(const std::string &json);
void mqtt_side_stop();
