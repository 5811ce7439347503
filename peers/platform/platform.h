// Simulated carrier platform: what its sides share. The HTTPS side serves
// the login and broker requests, the MQTT side (when given a CA) meets the
// device on the broker it hands out; each side runs on its own thread.
#pragma once

#include <atomic>
#include <string>

struct platform_config {
    std::string cert, key;   // PEM files of the HTTPS side
    std::string host = "127.0.0.1";
    int https_port = 0;      // 0: any free port, printed when ready
    std::string auth_path = "/api/v1/devAuth";
    std::string server_path = "/api/v1/devGetMqttServer";
    // The broker record handed out by devGetMqttServer.
    std::string uuid = "uuid-sim-0001";
    std::string broker_address = "127.0.0.1";
    int broker_port = 8883;
    int keepalive = 60;
    std::string topic = "ovimar/down/uuid-sim-0001";
    std::string username = "sim-user";
    std::string password = "sim-pass";
    // The MQTT side: on when mqtt_ca is set.
    std::string mqtt_ca;     // CA of the broker's certificate
    std::string dev_id = "PLAT-DEV-1";  // handed out on bind
    std::string secret = "plat-secret-1";
    std::string commands;    // FIFO of "send JSON" lines
};

// The configuration as it stands: "broker" and "password" commands change
// what the broker request hands out while the platform runs.
platform_config platform_config_now();

// Set once on SIGTERM/SIGINT; every wait of a misbehaving answer ends on it.
extern std::atomic<bool> g_platform_stopping;

// One line to standard output, whole even when sides print at once.
void platform_print(const std::string &line);
// Sleeps up to ms, in short steps; false when the platform is stopping.
bool platform_sleep(int ms);
