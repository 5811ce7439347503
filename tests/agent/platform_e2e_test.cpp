// ovimar-agent as a program, with the simulated carrier service on the
// router's bus daemon and the simulated platform over HTTPS: from a fresh
// start to the MQTT connect step, the broker record in UCI.
#include <gtest/gtest.h>

#include <string>

#include "env.h"
#include "peers.h"
#include "proc.h"

using testsupport::Child;

namespace {

std::string ovimar_config(int port)
{
    return "config server 'server'\n\toption domain '127.0.0.1'\n"
           "config https 'https'\n\toption port '" + std::to_string(port) + "'\n"
           "\toption connect_timeout '2'\n\toption stall_timeout '1'\n"
           "config auth 'auth'\n\toption path '/api/v1/devAuth'\n\toption cwmp_version '1.0'\n"
           "config get_mqtt_server 'get_mqtt_server'\n"
           "\toption path '/api/v1/devGetMqttServer'\n\toption cwmp_version '1.0'\n"
           "\toption retries '3'\n"
           "config mqtt 'mqtt'\n\toption default_qos '1'\n\toption default_retain '0'\n"
           "config retry 'retry'\n\toption min_wait '1'\n\toption max_wait '2'\n";
}

} // namespace

// The platform stalls, fails and gives no broker first: the agent gets
// past each on its own schedule.
TEST(PlatformEndToEnd, FreshAgentLogsInAndFetchesItsBroker)
{
    AgentRouter r;
    Child bus = start_bus(r.dir, r.sock);
    // Base objects that already hold keys the agent adds: its values win.
    Child zorvex = start_zorvex(r.dir, r.sock, R"({
        "devAuth": {"devId": "stale", "secret": "stale", "id": "99", "model": "QX-1"},
        "devGetMqttServer": {"cookie": "stale", "id": "98", "accType": "x"},
        "devInfoSync": {"method": "devInfoSync"}
    })");
    Platform platform(r.dir, {"devAuth=stall,status500,ok", "devGetMqttServer=no_address,ok"},
                      {"--broker", "127.0.0.1:18883"});
    r.config("ovimar", ovimar_config(platform.port));
    EXPECT_EQ(testsupport::run({"nvtool", "set", "ZVEI", "ZV-E2E"}).code, 0);

    std::string log = r.dir.file("agent.log");
    Child agent({OVIMAR_AGENT, "-l", "7", "-m", "1"}, log, r.agent_env());
    EXPECT_TRUE(testsupport::wait_for(60000, [&] {
        return testsupport::read_file(log).find("-----state machines:2----") != std::string::npos;
    })) << testsupport::read_file(log);
    std::string out = testsupport::read_file(log);
    EXPECT_NE(out.find("succeed to https get_server\n"), std::string::npos);
    EXPECT_NE(out.find("change state machines to:2 from:1\n"), std::string::npos);

    EXPECT_EQ(r.uci_get("ovimar.mqtt.BrokerAddress"), "127.0.0.1");
    EXPECT_EQ(r.uci_get("ovimar.mqtt.BrokerPort"), "18883");
    EXPECT_EQ(r.uci_get("ovimar.mqtt.KeepAliveTime"), "60");
    EXPECT_EQ(r.uci_get("ovimar.mqtt.Username"), "sim-user");
    EXPECT_EQ(r.uci_get("ovimar.mqtt.Password"), "sim-pass");

    // Three logins, two broker requests, each numbered and checked (the
    // platform checks the cookie too).
    auto seen = platform.requests();
    json_object *login = json_object_object_get(seen.at(0).get(), "body");
    EXPECT_EQ(json_str(login, "devId"), ""); // not bound yet
    EXPECT_EQ(json_str(login, "secret"), "");
    EXPECT_EQ(json_str(login, "model"), "QX-1");
    EXPECT_EQ(json_str(json_object_object_get(seen.at(3).get(), "body"), "accType"), "router");
    std::vector<std::string> methods, ids;
    for (const auto &q : seen) {
        methods.push_back(json_str(q.get(), "method"));
        ids.push_back(json_str(json_object_object_get(q.get(), "body"), "id"));
        EXPECT_EQ(json_str(q.get(), "check"), "ok");
    }
    EXPECT_EQ(methods, (std::vector<std::string>{"devAuth", "devAuth", "devAuth",
                                                 "devGetMqttServer", "devGetMqttServer"}));
    EXPECT_EQ(ids, (std::vector<std::string>{"2", "3", "4", "5", "6"}));
    EXPECT_EQ(agent.stop(), 0);
}
