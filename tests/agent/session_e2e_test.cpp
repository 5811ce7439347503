// ovimar-agent as a program against all of its peers at once: the bus
// daemon and the carrier service, Debian's mosquitto (TLS, password) and
// the simulated platform on HTTPS and MQTT. A fresh device walks to a bound
// state and back, and gets past a platform that is not there yet and a bus
// daemon that dies under it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "broker.h"
#include "env.h"
#include "peers.h"
#include "proc.h"

using testsupport::Child;
using testsupport::read_file;
using testsupport::wait_for;

namespace {

constexpr int WAIT_MS = 30000;

struct Road : AgentRouter {
    std::string log = dir.file("agent.log");
    std::string fifo = dir.file("platform.cmd");

    // The states the agent changed to, in order, from its log.
    std::vector<int> changes() const
    {
        std::vector<int> out;
        std::string text = read_file(log);
        const std::string tag = "change state machines to:";
        for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1))
            out.push_back(atoi(text.c_str() + at + tag.size()));
        return out;
    }

    bool reaches(int state, size_t after)
    {
        return wait_for(WAIT_MS, [&] {
            auto c = changes();
            for (size_t i = after; i < c.size(); i++)
                if (c[i] == state)
                    return true;
            return false;
        });
    }

    bool logged(const std::string &path, const std::string &what)
    {
        return wait_for(WAIT_MS, [&] { return read_file(path).find(what) != std::string::npos; });
    }

    void emit(const std::string &event, const std::string &data) const
    {
        testsupport::RunOptions o;
        o.env = agent_env();
        auto r = testsupport::run({UBUS_CMD, "-s", sock, "call", "zorvex_sim", "emit",
                                   R"({"event":")" + event + R"(","data":)" + data + "}"},
                                  o);
        ASSERT_EQ(r.code, 0) << r.err;
    }

    void platform_send(const std::string &json) const
    {
        int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::string line = "send " + json + "\n";
        EXPECT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        close(fd);
    }
};

std::string ovimar_config(int https_port, const std::string &ca)
{
    return "config server 'server'\n\toption domain '127.0.0.1'\n"
           "config https 'https'\n\toption port '" + std::to_string(https_port) + "'\n"
           "\toption connect_timeout '2'\n"
           "config auth 'auth'\n\toption path '/api/v1/devAuth'\n\toption cwmp_version '1.0'\n"
           "config get_mqtt_server 'get_mqtt_server'\n"
           "\toption path '/api/v1/devGetMqttServer'\n\toption cwmp_version '1.0'\n"
           "\toption retries '3'\n"
           "config mqtt 'mqtt'\n\toption default_qos '1'\n\toption default_retain '0'\n"
           "\toption ca_file '" + ca + "'\n"
           "config mqtt_connect 'mqtt_connect'\n\toption connected_times '0'\n";
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

} // namespace

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

    std::string plog = r.dir.file("platform.log");
    Child platform({PLATFORM_SIM, "--cert", test_cert().cert, "--key", test_cert().key,
                    "--port", std::to_string(https_port), "--broker",
                    "127.0.0.1:" + std::to_string(broker.port()), "--user",
                    testsupport::Broker::USER, "--password", testsupport::Broker::PASSWORD,
                    "--mqtt-ca", certs.ca, "--commands", r.fifo},
                   plog);
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
}
