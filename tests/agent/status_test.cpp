// `ubus call ovimar status` on the running agent: where it stands once it
// has its broker, never a credential, and again after a bus restart.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <unistd.h>

#include "env.h"
#include "peers.h"

namespace {

constexpr char SECRET[] = "preset-secret-5e7";

struct Fd {
    int fd;
    ~Fd() { close(fd); }
};

// Bound, never listening: the broker refuses and the agent stays in state 2.
int dead_port(int fd)
{
    sockaddr_in a = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof(a);
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
              getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0;
    return ok ? ntohs(a.sin_port) : 0;
}

std::string ovimar_config(int port)
{
    return "config server 'server'\n\toption domain '127.0.0.1'\n"
           "config https 'https'\n\toption port '" + std::to_string(port) + "'\n"
           "config auth 'auth'\n\toption path '/api/v1/devAuth'\n"
           "config get_mqtt_server 'get_mqtt_server'\n\toption path '/api/v1/devGetMqttServer'\n"
           "config status 'status'\n\toption devId 'dev-st-1'\n"
           "\toption secret '" + std::string(SECRET) + "'\n";
}

// The agent's status reply, or none while the bus has no object to ask.
json_obj call_status(const PrivateRouter &r, const std::string &sock, std::string *text)
{
    testsupport::RunOptions opt;
    opt.env = r.env();
    auto res =
        testsupport::run({UBUS_CMD, "-s", sock, "-t", "5", "call", "ovimar", "status"}, opt);
    *text = res.out + res.err;
    return json_obj(res.code == 0 ? json_tokener_parse(res.out.c_str()) : nullptr);
}

int64_t num(const json_obj &o, const char *key)
{
    json_object *v = nullptr;
    return json_object_object_get_ex(o.get(), key, &v) ? json_object_get_int64(v) : -100;
}

} // namespace

TEST(AgentStatus, ShowsStateBrokerAndUuidButNoCredential)
{
    AgentRouter r;
    REQUIRE_ROUTER(r);
    const std::string &sock = r.sock;
    Fd held{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    int broker_port = dead_port(held.fd);
    ASSERT_GT(broker_port, 0);

    testsupport::Child bus = start_bus(r.dir, sock);
    testsupport::Child zorvex =
        start_zorvex(r.dir, sock, R"({"devAuth": {}, "devGetMqttServer": {}})");
    Platform platform(r.dir, {}, {"--broker", "127.0.0.1:" + std::to_string(broker_port),
                                  "--uuid", "st-uuid-42"});
    r.config("ovimar", ovimar_config(platform.port));
    std::string log = r.dir.file("agent.log");
    testsupport::Child agent({OVIMAR_AGENT, "-l", "6", "-m", "1"}, log, r.agent_env());
    auto logged = [&](const char *line) {
        return testsupport::wait_for(30000, [&] {
            return testsupport::read_file(log).find(line) != std::string::npos;
        });
    };
    // What the test needs is the reply in state 2, not a line logged first.
    std::string text;
    json_obj o;
    ASSERT_TRUE(testsupport::wait_for(30000, [&] {
        o = call_status(r, sock, &text);
        return o && num(o, "state") == 2;
    })) << text << testsupport::read_file(log);
    EXPECT_EQ(json_str(o.get(), "state_name"), "OVIMAR_MQTT_CONNECT");
    EXPECT_EQ(json_str(o.get(), "broker_address"), "127.0.0.1");
    EXPECT_EQ(num(o, "broker_port"), broker_port);
    EXPECT_EQ(json_str(o.get(), "uuid"), "st-uuid-42");
    EXPECT_EQ(json_str(o.get(), "bound"), "true");
    EXPECT_EQ(num(o, "connected_times"), 0);
    EXPECT_EQ(json_str(o.get(), "last_method"), "devGetMqttServer");
    EXPECT_EQ(num(o, "last_result"), 0);
    EXPECT_EQ(json_str(json_object_object_get(o.get(), "versions"), "json-c"), json_c_version());

    // The cookie as the agent sent it back to the platform.
    auto seen = platform.requests();
    std::string cookie = json_str(json_object_object_get(seen.back().get(), "body"), "cookie");
    ASSERT_EQ(cookie.rfind("ck-", 0), 0u) << cookie;
    for (const std::string hidden : {"sim-pass", cookie.c_str(), SECRET})
        EXPECT_EQ(text.find(hidden), std::string::npos) << hidden << " in " << text;

    // libubus adds the object again on reconnect, whenever the agent's 5 s
    // retry comes after the failed first attempt: ask until it answers.
    EXPECT_EQ(bus.stop(), 0);
    ASSERT_TRUE(logged("reconnect to ubusd failed")) << testsupport::read_file(log);
    bus = start_bus(r.dir, sock);
    json_obj again;
    ASSERT_TRUE(testsupport::wait_for(30000, [&] {
        again = call_status(r, sock, &text);
        return bool(again);
    })) << text << testsupport::read_file(log);
    EXPECT_EQ(num(again, "state"), 2);
    EXPECT_GT(num(again, "state_seconds"), num(o, "state_seconds"));
    EXPECT_EQ(agent.stop(), 0);
}
