// The two platform requests and the dispatcher end to end inside the
// agent's units: the real bus daemon, the simulated carrier service and the
// simulated platform over HTTPS; the state machine on a fake clock.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "dispatch.h"
#include "env.h"
#include "log.h"
#include "logged.h"
#include "peers.h"
#include "loop.h"
#include "request.h"
#include "state.h"
#include "ubus.h"

using testsupport::Child;

namespace {

const char REPLIES[] = R"({
    "devAuth": {"model": "QX-1"},
    "devGetMqttServer": {},
    "setWifi": {"_result": 0, "applied": "1"}
})";

std::vector<std::string> g_local;
void local_hook(const char *t) { g_local.emplace_back(t); }

int64_t g_ms = 1000000;
time_t fake_time(time_t *) { return static_cast<time_t>(g_ms / 1000); }
int64_t fake_ms() { return g_ms; }
int fake_rand() { return 37; }

class Requests : public ::testing::Test {
protected:
    PrivateRouter router;                            // UCI conf and save dirs
    std::string sock = router.world.paths().ubus_socket; // the bus socket
    Child bus, zorvex;
    std::unique_ptr<Platform> platform;
    state_ops saved_ops = g_state_ops;

    void SetUp() override
    {
        bus = start_bus(router.dir, sock);
        router.config("ovimar", "config mqtt 'mqtt'\n\toption default_qos '1'\n");
        g_config_https = {};
        g_config_https.stall_timeout = 1;
        strcpy(g_config_auth.path, "/api/v1/devAuth");
        strcpy(g_config_auth.cwmp_version, "1.0");
        strcpy(g_config_get_mqtt_server.path, "/api/v1/devGetMqttServer");
        strcpy(g_config_get_mqtt_server.cwmp_version, "1.1");
        g_config_get_mqtt_server.retries = 0;
        g_dev_status = {};
        g_mqtt_server = {};
        msg_seq = 1;
        set_last_request(0, nullptr);
        agent_state_set(OVIMAR_HTTPS_AUTH);
        g_local.clear();
        log_level_set(OVIMAR_LOG_INFO);
        ASSERT_EQ(ovimar_ubus_connect(), 0);
        ubus_hook_set(UBUS_HOOK_LOCAL, local_hook);
    }

    void TearDown() override
    {
        uloop_timeout_cancel(&g_state_timer);
        g_state_ops = saved_ops;
        ovimar_ubus_done();
        log_level_set(OVIMAR_LOG_ERR);
    }

    void start(const std::vector<std::string> &modes, const char *replies = REPLIES)
    {
        if (!zorvex.running())
            zorvex = start_zorvex(router.dir, sock, replies);
        platform = std::make_unique<Platform>(router.dir, modes);
        snprintf(g_config_server.domain, sizeof(g_config_server.domain),
                 "https://127.0.0.1:%d", platform->port);
        agent_state_set(OVIMAR_HTTPS_AUTH);
        set_last_request(0, nullptr);
    }

    std::string uci(const char *option)
    {
        char buf[512] = {};
        uci_get_value("ovimar", "mqtt", option, buf, sizeof(buf));
        return buf;
    }

    // One tick of the machine on the fake clocks, which it then moves on by
    // the delay it armed; returns that delay, in seconds.
    int tick()
    {
        g_state_ops.now = fake_time;
        g_state_ops.mono_ms = fake_ms;
        int64_t ms = state_machine_step();
        g_ms += ms;
        return static_cast<int>((ms + 500) / 1000);
    }
};

} // namespace

TEST_F(Requests, NoUsableBaseObjectMeansNoPostAndATryNextTick)
{
    struct Case {
        const char *replies;
        const char *log;
    } cases[] = {
        // The formatter writes an infinite number as inf: not JSON.
        {R"({"devAuth": {"x": Infinity}})", "failed to parse json buf:{\"x\":inf}\n"},
        {R"({"devAuth": null})", "failed to call ubus method devAuth\n"},
        {R"({"devAuth": {"_status": 5}})", "failed to call ubus method devAuth\n"},
        {R"({"other": {}})", "failed to call ubus method devAuth\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.replies);
        zorvex.stop();
        // The daemon drops the old object once it sees the peer gone.
        ASSERT_TRUE(testsupport::wait_for(5000, [&] {
            return testsupport::run({UBUS_CMD, "-s", sock, "list", "zorvex"}).code != 0;
        }));
        zorvex = start_zorvex(router.dir, sock, c.replies);
        start({});
        state_machine_arm();
        g_state_ops.rand = [] { return 0; }; // a second login 1 s after the first
        std::string log = logged([&] {
            tick();
            tick();
        });
        EXPECT_EQ(agent_state_get(), OVIMAR_HTTPS_AUTH);
        size_t n = 0;
        for (size_t p = log.find(c.log); p != std::string::npos; p = log.find(c.log, p + 1))
            n++;
        EXPECT_EQ(n, 2u) << log;
        EXPECT_TRUE(platform->requests().empty());
        EXPECT_EQ(msg_seq, 1u); // no number taken
    }
}

namespace {

struct Misbehaviour {
    const char *mode;
    uint32_t state; // after the request
    const char *log;
};

const Misbehaviour LOGIN_CASES[] = {
    {"devAuth=result9009", OVIMAR_HTTPS_AUTH, "failed to parse userdata, invalid msg type"},
    {"devAuth=status500", OVIMAR_HTTPS_AUTH, "failed to https auth result:-1\n"},
    {"devAuth=empty", OVIMAR_HTTPS_AUTH, "failed to parse userdata, invalid key"},
    {"devAuth=silent", OVIMAR_HTTPS_AUTH, "https path request failed ret:-1"},
    {"devAuth=strings", OVIMAR_HTTPS_GET_SERVER, "succeed to https auth\n"},
    {"devAuth=long", OVIMAR_HTTPS_GET_SERVER, "succeed to https auth\n"},
};

const Misbehaviour SERVER_CASES[] = {
    {"devGetMqttServer=no_params", OVIMAR_HTTPS_GET_SERVER, "failed to https get_server"},
    {"devGetMqttServer=no_client", OVIMAR_HTTPS_GET_SERVER, "failed to https get_server"},
    {"devGetMqttServer=no_address", OVIMAR_HTTPS_GET_SERVER, "failed to https get_server"},
    {"devGetMqttServer=wrong_id", OVIMAR_HTTPS_GET_SERVER, "sequence err clean require record"},
    {"devGetMqttServer=stall", OVIMAR_HTTPS_GET_SERVER, "https path request failed ret:-1"},
    {"devGetMqttServer=params_text", OVIMAR_MQTT_CONNECT, "succeed to https get_server\n"},
    {"devGetMqttServer=strings", OVIMAR_MQTT_CONNECT, "succeed to https get_server\n"},
    {"devGetMqttServer=long", OVIMAR_MQTT_CONNECT, "succeed to https get_server\n"},
};

} // namespace

TEST_F(Requests, LoginSurvivesAMisbehavingPlatform)
{
    for (const auto &c : LOGIN_CASES) {
        SCOPED_TRACE(c.mode);
        start({c.mode});
        std::string log = logged([] { https_dev_auth(); });
        EXPECT_EQ(agent_state_get(), c.state);
        EXPECT_TRUE(has(log, c.log)) << log;
        EXPECT_EQ(json_str(platform->requests().at(0).get(), "check"), "ok");
        EXPECT_LT(strlen(g_mqtt_server.cookie), sizeof(g_mqtt_server.cookie));
    }
    // The over-long cookie was cut to its field.
    EXPECT_EQ(strlen(g_mqtt_server.cookie), sizeof(g_mqtt_server.cookie) - 1);
}

TEST_F(Requests, BrokerRequestSurvivesAMisbehavingPlatform)
{
    for (const auto &c : SERVER_CASES) {
        SCOPED_TRACE(c.mode);
        router.config("ovimar", "config mqtt 'mqtt'\n");
        start({c.mode});
        https_dev_auth();
        ASSERT_EQ(agent_state_get(), OVIMAR_HTTPS_GET_SERVER);
        std::string log = logged([] { https_get_mqtt_server(); });
        EXPECT_EQ(agent_state_get(), c.state);
        EXPECT_TRUE(has(log, c.log)) << log;
        EXPECT_EQ(json_str(platform->requests().at(1).get(), "check"), "ok");
        bool connect = c.state == OVIMAR_MQTT_CONNECT;
        // Only a usable broker reaches UCI.
        EXPECT_EQ(uci("BrokerAddress").empty(), !connect);
        if (!strcmp(c.mode, "devGetMqttServer=no_params")) {
            EXPECT_STREQ(g_mqtt_server.uuid, "uuid-sim-0001");
            EXPECT_EQ(g_mqtt_server.BrokerPort, 0);
        }
        if (!strcmp(c.mode, "devGetMqttServer=long")) {
            EXPECT_EQ(strlen(g_mqtt_server.BrokerAddress), sizeof(g_mqtt_server.BrokerAddress) - 1);
            EXPECT_EQ(strlen(g_mqtt_server.Password), sizeof(g_mqtt_server.Password) - 1);
            EXPECT_EQ(strlen(g_mqtt_server.uuid), sizeof(g_mqtt_server.uuid) - 1);
        }
        if (!strcmp(c.mode, "devGetMqttServer=strings")) {
            EXPECT_EQ(g_mqtt_server.BrokerPort, 8883);
        }
    }
}

TEST_F(Requests, BrokerRetriesThenBackOffToLogin)
{
    struct Case {
        int retries;
        const char *mode;
        size_t server_requests;
        uint32_t state;
        int last_delay;
    } cases[] = {
        {2, "devGetMqttServer=no_params", 3, OVIMAR_HTTPS_AUTH, 10 + 37 % 51},
        {2, "devGetMqttServer=no_params,no_params,ok", 3, OVIMAR_MQTT_CONNECT, 1},
        {0, "devGetMqttServer=empty", 1, OVIMAR_HTTPS_AUTH, 10 + 37 % 51},
        {0, "devGetMqttServer=ok", 1, OVIMAR_MQTT_CONNECT, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        start({c.mode});
        state_machine_arm(); // each case a device's first give-up
        g_state_ops.rand = fake_rand;
        g_config_get_mqtt_server.retries = c.retries;
        EXPECT_EQ(tick(), 1); // login
        ASSERT_EQ(agent_state_get(), OVIMAR_HTTPS_GET_SERVER);
        std::string log = logged([&] {
            for (size_t i = 0; i < c.server_requests; i++)
                tick();
        });
        EXPECT_EQ(agent_state_get(), c.state);
        EXPECT_EQ(platform->requests().size(), 1 + c.server_requests);
        EXPECT_EQ(has(log, "try to get mqtt server timeout. back to auth state!\n"),
                  c.state == OVIMAR_HTTPS_AUTH);
        if (c.state != OVIMAR_HTTPS_AUTH)
            continue;
        // Ticks each second, and the next login once the wait is out.
        int waited = 1;
        while (platform->requests().size() == 1 + c.server_requests && waited < 100)
            waited += tick();
        EXPECT_EQ(waited, c.last_delay + 1);
        EXPECT_EQ(json_str(platform->requests().back().get(), "method"), "devAuth");
    }
}

TEST_F(Requests, PlatformRequestsButUnBindGoToTheService)
{
    start({});
    set_last_request(9, "bind");
    std::string log = logged([] {
        ovimar_parse_response_msg(R"({"method":"setWifi","id":"5","ssid":"a/b"})");
        ovimar_parse_response_msg(R"({"method":"unBind","id":"6"})");
        ovimar_parse_response_msg(R"({"method":"noSuch","id":"7"})");
    });
    std::string calls = testsupport::read_file(router.dir.file("zorvex.log"));
    EXPECT_TRUE(has(calls, R"(call setWifi {"method":"setWifi","id":"5","ssid":"a/b"})") ||
                has(calls, R"(call setWifi {"method":"setWifi","id":"5","ssid":"a\/b"})"))
        << calls;
    EXPECT_FALSE(has(calls, "unBind"));
    EXPECT_TRUE(has(log, "failed to call ubus method:noSuch\n"));
    // The service's answer reaches the local hook with the request's id.
    EXPECT_EQ(g_local, (std::vector<std::string>{R"({"id":"5","result":0,"applied":"1"})"}));
    // Forwarded requests neither number nor record anything.
    EXPECT_EQ(msg_seq, 1u);
    EXPECT_EQ(g_last_request.last_id, 9u);
}
