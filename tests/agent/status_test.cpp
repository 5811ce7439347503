// `ubus call ovimar status` on the running agent: where it stands, from a
// fresh login to its broker record, and never a credential, also after
// the bus daemon has restarted under it.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "env.h"
#include "peers.h"
#include "proc.h"

using testsupport::Child;

namespace {

constexpr char SECRET[] = "preset-secret-5e7";

// A loopback port held bound but not listening: the broker connect is
// refused at once and the agent stays at the connect step.
struct DeadPort {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    DeadPort()
    {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~DeadPort()
    {
        if (fd >= 0)
            close(fd);
    }
};

std::string ovimar_config(int port)
{
    return "config server 'server'\n\toption domain '127.0.0.1'\n"
           "config https 'https'\n\toption port '" + std::to_string(port) + "'\n"
           "\toption connect_timeout '2'\n"
           "config auth 'auth'\n\toption path '/api/v1/devAuth'\n\toption cwmp_version '1.0'\n"
           "config get_mqtt_server 'get_mqtt_server'\n"
           "\toption path '/api/v1/devGetMqttServer'\n\toption cwmp_version '1.0'\n"
           "config mqtt 'mqtt'\n\toption default_qos '1'\n"
           "config status 'status'\n\toption devId 'dev-st-1'\n"
           "\toption secret '" + std::string(SECRET) + "'\n";
}

struct Status {
    std::string text;
    json_obj o;
};

Status call_status(const PrivateRouter &r, const std::string &sock)
{
    auto res = testsupport::run({UBUS_CMD, "-s", sock, "call", "ovimar", "status"},
                                {r.env(), "", 10000});
    EXPECT_EQ(res.code, 0) << res.err;
    return {res.out, json_obj(json_tokener_parse(res.out.c_str()))};
}

int64_t num(json_object *o, const char *key)
{
    json_object *v = nullptr;
    return json_object_object_get_ex(o, key, &v) ? json_object_get_int64(v) : -100;
}

} // namespace

TEST(AgentStatus, ShowsStateBrokerAndUuidButNoCredential)
{
    PrivateRouter r;
    REQUIRE_ROUTER(r);
    std::string sock = r.world.paths().ubus_socket;
    std::vector<std::string> env = r.env();
    env.push_back("HOST_UBUS_SOCKET=" + sock);

    DeadPort broker;
    ASSERT_GT(broker.port, 0);
    Child bus = start_bus(r.dir, sock);
    Child zorvex = start_zorvex(r.dir, sock, R"({
        "devAuth": {"model": "QX-1"}, "devGetMqttServer": {}})");
    Platform platform(r.dir, {},
                      {"--broker", "127.0.0.1:" + std::to_string(broker.port), "--uuid",
                       "st-uuid-42"});
    r.config("ovimar", ovimar_config(platform.port));
    ASSERT_EQ(testsupport::run({"nvtool", "set", "ZVEI", "ZV-ST"}).code, 0);

    std::string log = r.dir.file("agent.log");
    Child agent({OVIMAR_AGENT, "-l", "6", "-m", "1"}, log, env);
    ASSERT_TRUE(testsupport::wait_for(30000, [&] {
        return testsupport::read_file(log).find("change state machines to:2 from:1") !=
               std::string::npos;
    })) << testsupport::read_file(log);

    Status s = call_status(r, sock);
    ASSERT_TRUE(s.o) << s.text;
    json_object *o = s.o.get();
    EXPECT_EQ(num(o, "state"), 2);
    EXPECT_EQ(json_str(o, "state_name"), "OVIMAR_MQTT_CONNECT");
    EXPECT_EQ(json_str(o, "broker_address"), "127.0.0.1");
    EXPECT_EQ(num(o, "broker_port"), broker.port);
    EXPECT_EQ(json_str(o, "uuid"), "st-uuid-42");
    EXPECT_EQ(json_str(o, "bound"), "true");
    EXPECT_EQ(num(o, "connected_times"), 0);
    EXPECT_EQ(json_str(o, "last_method"), "devGetMqttServer");
    EXPECT_EQ(num(o, "last_result"), 0);
    json_object *versions = json_object_object_get(o, "versions");
    EXPECT_EQ(json_str(versions, "json-c"), json_c_version());
    EXPECT_NE(json_str(versions, "libcurl"), "<missing>");
    EXPECT_NE(json_str(versions, "libmosquitto"), "<missing>");

    // The cookie the platform issued, as the agent sent it back.
    auto seen = platform.requests();
    ASSERT_GE(seen.size(), 2u);
    std::string cookie = json_str(json_object_object_get(seen.back().get(), "body"), "cookie");
    ASSERT_EQ(cookie.rfind("ck-", 0), 0u) << cookie;
    for (const std::string &hidden : {std::string("sim-pass"), cookie, std::string(SECRET)})
        EXPECT_EQ(s.text.find(hidden), std::string::npos) << hidden << " in " << s.text;

    // A new bus daemon: the object is there again once the agent is back.
    EXPECT_EQ(bus.stop(), 0);
    ASSERT_TRUE(testsupport::wait_for(10000, [&] {
        return testsupport::read_file(log).find("reconnect to ubusd failed") != std::string::npos;
    })) << testsupport::read_file(log);
    bus = start_bus(r.dir, sock);
    ASSERT_TRUE(testsupport::wait_for(15000, [&] {
        return testsupport::read_file(log).find("reconnect to ubusd\n") != std::string::npos;
    })) << testsupport::read_file(log);
    Status again = call_status(r, sock);
    ASSERT_TRUE(again.o) << again.text;
    EXPECT_EQ(num(again.o.get(), "state"), 2);
    // At least the 5 s of the failed reconnect have passed in that state.
    EXPECT_GT(num(again.o.get(), "state_seconds"), num(o, "state_seconds"));
    EXPECT_EQ(agent.stop(), 0);
}
