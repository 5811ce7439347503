// The carrier platform's MQTT side: listens on the device's uuid topic,
// answers devInfoSync and bind as the platform does, sends requests on
// command and records every message it saw.
#pragma once

#include <cstdio>
#include <string>

struct platform_mqtt_config {
    std::string host = "127.0.0.1";
    int port = 8883;
    std::string cafile;
    std::string username;
    std::string password;
    std::string uuid;     // the device publishes here; we listen
    std::string topic;    // the device listens here; we publish
    std::string dev_id;   // handed out on bind
    std::string secret;
    FILE *record = stdout; // "seen <payload>", "sent <payload>", ...
};

// Connects and runs the client on a thread of its own; 0 or -1.
int platform_mqtt_start(const platform_mqtt_config &cfg);
// Publishes one request or answer to the device; 0 or the library's code.
int platform_mqtt_send(const std::string &json);
void platform_mqtt_stop();
