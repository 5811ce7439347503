// ovimar-agent as a program against all of its peers at once: the bus
// daemon and the carrier service, Debian's mosquitto (TLS, password) and
// the simulated platform on HTTPS and MQTT. A fresh device walks to a bound
// state and back, and gets past a platform that is not there yet and a bus
// daemon that dies under it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "broker.h"
#include "road.h"

using testsupport::Child;
using testsupport::read_file;
using testsupport::wait_for;

TEST(SessionEndToEnd, FreshDeviceBindsRelaysAndUnbinds)
{
    Road r;
    REQUIRE_ROUTER(r);
    testsupport::TestCerts certs;
    testsupport::Broker broker(certs);
    ASSERT_TRUE(broker.start()) << broker.log();
    Child bus = start_bus(r.dir, r.sock);
    Child zorvex = start_zorvex(r.dir, r.sock, R"({
        "devAuth": {"model": "QX-1"}, "devGetMqttServer": {},
        "devInfoSync": {"method": "devInfoSync", "model": "QX-1"},
        "bind": {"method": "bind", "mac": "00:11:22:33:44:55"},
        "getStatus": {"_result": 0, "status": "ok"}
    })");
    int https_port = testsupport::free_port();
    r.config("ovimar", ovimar_config(https_port, certs.ca));
    r.config("zorvex_group", "config shp 'shp'\n\toption devId 'SHP-DEV-1'\n"
                             "\toption code 'REG-42'\n\toption account 'app-user'\n");
    ASSERT_EQ(testsupport::run({"nvtool", "set", "ZVEI", "ZV-E2E"}).code, 0);

    // The platform is not up yet: the agent keeps trying its login.
    Child agent({OVIMAR_AGENT, "-l", "7", "-m", "1"}, r.log, r.agent_env());
    ASSERT_TRUE(wait_for(WAIT_MS, [&] {
        return count(read_file(r.log), "-----state machines:0----") >= 3;
    })) << read_file(r.log);
    EXPECT_TRUE(r.changes().empty());

    const std::string &plog = r.plog;
    Child platform = r.platform(https_port, broker, certs);
    ASSERT_TRUE(r.reaches(6, 0)) << read_file(r.log) << read_file(plog);
    EXPECT_EQ(r.changes(), (std::vector<int>{1, 2, 3, 5, 6}));
    EXPECT_EQ(r.uci_get("ovimar.mqtt.BrokerPort"), std::to_string(broker.port()));
    EXPECT_TRUE(r.logged(plog, R"("method":"devInfoSync")")) << read_file(plog);

    // Bind: the app starts it, the platform hands out the identity, the
    // agent logs in again with it.
    size_t mark = r.changes().size();
    r.emit("APP_AUTH", R"({"method":"bind"})");
    ASSERT_TRUE(r.reaches(8, mark)) << read_file(r.log) << read_file(plog);
    auto bound = r.changes();
    EXPECT_EQ(std::vector<int>(bound.begin() + static_cast<long>(mark), bound.end()),
              (std::vector<int>{0, 1, 2, 3, 5, 8}));
    EXPECT_TRUE(r.logged(plog, R"("method":"bind")"));
    EXPECT_TRUE(r.logged(plog, R"("regCode":"REG-42")"));
    EXPECT_EQ(r.uci_get("ovimar.status.devId"), "PLAT-DEV-1");
    EXPECT_EQ(r.uci_get("ovimar.status.secret"), "plat-secret-1");
    auto logins = Platform::parse(plog);
    ASSERT_GE(logins.size(), 4u);
    json_object *relogin = json_object_object_get(logins[2].get(), "body");
    EXPECT_EQ(json_str(relogin, "devId"), "PLAT-DEV-1");

    // The bus daemon dies: the service and the agent come back to the new one.
    bus.stop(SIGKILL);
    bus = start_bus(r.dir, r.sock);
    ASSERT_TRUE(wait_for(WAIT_MS, [&] {
        return read_file(r.dir.file("zorvex.log")).find("reconnected") != std::string::npos;
    }));
    ASSERT_TRUE(r.logged(r.log, "reconnect to ubusd\n")) << read_file(r.log);

    // Relay, each way, over the new bus.
    ASSERT_TRUE(wait_for(WAIT_MS, [&] {
        r.platform_send(R"({"method":"getStatus","id":"77","cwmpVersion":"1.0"})");
        return wait_for(2000, [&] {
            return read_file(plog).find(R"(seen {"id":"77","result":0,"status":"ok"})") !=
                   std::string::npos;
        });
    })) << read_file(plog) << read_file(r.log);
    r.emit("Notify", R"({"method":"wifiChanged","ssid":"home"})");
    EXPECT_TRUE(r.logged(plog, R"(seen {"method":"wifiChanged","ssid":"home","cwmpVersion":"1.0",)"))
        << read_file(plog);
    EXPECT_TRUE(r.logged(plog, R"("uuid":"uuid-sim-0001"})"));

    // unBind: answered, identity gone, and the device starts over unbound.
    mark = r.changes().size();
    r.platform_send(R"({"method":"unBind","cwmpVersion":"1.0","id":"43"})");
    ASSERT_TRUE(r.reaches(6, mark)) << read_file(r.log);
    EXPECT_TRUE(r.logged(plog, R"(seen {"cwmpVersion":"1.0","result":"0","id":"43"})")) << read_file(plog);
    EXPECT_EQ(r.changes().at(mark), 0);
    EXPECT_EQ(r.uci_get("ovimar.status.devId"), "<none>");
    EXPECT_EQ(r.uci_get("ovimar.mqtt_connect.connected_times"), "3");

    EXPECT_EQ(agent.stop(), 0);
    EXPECT_EQ(platform.stop(), 0);

    // A whole walk at level 7, and no secret in the log: the lines keep
    // their shape with the values masked.
    std::string text = read_file(r.log);
    std::vector<std::string> secrets = {"plat-secret-1", testsupport::Broker::PASSWORD};
    for (const auto &req : Platform::parse(plog)) {
        std::string cookie = json_str(json_object_object_get(req.get(), "body"), "cookie");
        if (cookie != "<missing>" && !cookie.empty())
            secrets.push_back(cookie);
    }
    EXPECT_GE(secrets.size(), 4u) << read_file(plog);
    for (const auto &s : secrets)
        EXPECT_EQ(text.find(s), std::string::npos) << s << " in the agent's log";
    EXPECT_NE(text.find(R"("secret":"***")"), std::string::npos);
    EXPECT_NE(text.find(R"("cookie":"***")"), std::string::npos);
    EXPECT_NE(text.find(R"("Password":"***")"), std::string::npos);
}
