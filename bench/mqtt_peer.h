// The bench's own MQTT clients (libmosquitto, TLS, no thread of the
// library's): the platform's side of the agent's session, and the two
// ends of the bare broker round trip.
#pragma once

#include <chrono>
#include <string>

struct mosquitto;

constexpr int BENCH_QOS = 1; // as the agent's UCI default_qos

struct mqtt_login {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string ca, user, password;
};

struct mqtt_peer {
    struct mosquitto *m = nullptr;
    bool connected = false;
    int subscribed = 0;       // acknowledged subscriptions
    long seen_id = -1;        // id of the last message that was no devInfoSync
    int dev_info_syncs = 0;   // devInfoSync requests answered
    std::string echo_topic;   // set: every message goes back out there unchanged
    std::string answer_topic; // where answers to the device's requests go

    mqtt_peer() = default;
    mqtt_peer(const mqtt_peer &) = delete;
    mqtt_peer &operator=(const mqtt_peer &) = delete;
    ~mqtt_peer();
};

// Connects, subscribes to topic and waits for both acknowledgements.
bool mqtt_open(mqtt_peer &p, const char *client_id, const mqtt_login &login,
               const std::string &topic);
int mqtt_send(mqtt_peer &p, const std::string &topic, const std::string &payload);
// One turn of the library's loop, waiting up to timeout_ms for the socket.
bool mqtt_turn(mqtt_peer &p, int timeout_ms);

template <class F> bool mqtt_pump(mqtt_peer &p, int timeout_ms, F done)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end || !mqtt_turn(p, 100))
            return false;
    }
    return true;
}
