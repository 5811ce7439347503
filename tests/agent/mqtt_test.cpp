// Session, bind, unBind and relay against Debian's mosquitto and the
// simulated platform.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "capture.h"
#include "mqtt_world.h"
#include "loop.h"

using namespace world;

namespace {

class Session : public World {
protected:
    void SetUp() override
    {
        World::SetUp();
        ASSERT_TRUE(broker.start()) << broker.log();
        start_platform();
    }

    // A fresh (or bound) device up to its idle state.
    void up(bool bound = false)
    {
        start_agent(broker.port(), bound);
        ASSERT_TRUE(reach(bound ? OVIMAR_FINISHED : OVIMAR_MQTT_APP_AUTH)) << agent_state_get();
        // The platform's answer to devInfoSync closes the exchange.
        ASSERT_TRUE(pump_until(3000, [] { return !g_agent_got.empty(); }));
        answered_sync = g_agent_got[0];
        g_agent_got.clear();
    }

    std::string answered_sync;
    void kill_and_restart(bool bound);
};

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST_F(Session, FreshDeviceSubscribesSyncsAndIdles)
{
    StdoutCapture out;
    up();
    EXPECT_EQ(changes(out.text()),
              (std::vector<uint32_t>{OVIMAR_MQTT_CONNECT, OVIMAR_MQTT_CONNECTING,
                                     OVIMAR_MQTT_CONNECTED, OVIMAR_MQTT_APP_AUTH}));
    // devInfoSync from the service, with the session keys, on the uuid topic.
    // The sync took the last number; its answer cleared the record.
    const std::string id = std::to_string(msg_seq);
    std::string sync = std::string(R"("method":"devInfoSync","model":"QX-1","cwmpVersion":"1.0",)") +
                       R"("id":")" + id + R"(","cookie":"ck-1","uuid":"uuid-0001")";
    ASSERT_TRUE(platform_saw(sync)) << platform_log();
    // The platform's answer comes back on the subscribed topic.
    EXPECT_EQ(answered_sync, R"({"id":")" + id + R"(","result":"0"})");
    EXPECT_TRUE(has(out.text(), "succeed to mqtt devInfoSync."));
    EXPECT_EQ(g_last_request.last_id, 0u);
    EXPECT_EQ(uci("ovimar", "mqtt_connect", "connected_times"), "1");

    // Idle: the next tick 10 s away; Nagle off on the session's socket.
    ASSERT_TRUE(pump_until(2000, [] { return g_ticks.back() == OVIMAR_MQTT_APP_AUTH; }));
    EXPECT_GT(remaining_ms(&g_state_timer), 9000);
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(getsockopt(mqtt_registered_fd(), IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_EQ(on, 1);
}

// Keepalives the library would refuse still give a session.
TEST_F(Session, OddKeepalivesStillConnect)
{
    for (int seconds : {2, -1, 70000}) {
        SCOPED_TRACE(seconds);
        start_agent(broker.port());
        g_mqtt_server.KeepAliveTime = seconds;
        EXPECT_TRUE(reach(OVIMAR_MQTT_APP_AUTH)) << agent_state_get();
        mqtt_teardown();
        run_loop_for(10);
        ovimar_ubus_done();
    }
}

TEST_F(Session, BindStoresCredentialsAndStartsOver)
{
    up();
    StdoutCapture out;
    send_event("APP_AUTH", R"({"method":"bind"})");
    ASSERT_TRUE(platform_saw(R"("method":"bind","mac":"00:11:22:33:44:55","cwmpVersion":"1.0",)"
                             R"("cookie":"ck-1","uuid":"uuid-0001","devId":"SHP-DEV-1",)"
                             R"("regCode":"REG-42","AppId":"app-user","id":")"))
        << platform_log();
    uint32_t bind_id = msg_seq;
    EXPECT_TRUE(has(platform_log(), R"("AppId":"app-user","id":")" + std::to_string(bind_id) + "\""));
    // The answer ends the session from inside the message callback.
    ASSERT_TRUE(reach(OVIMAR_HTTPS_AUTH, 5000));
    EXPECT_EQ(uci("ovimar", "status", "devId"), PLATFORM_DEV_ID);
    EXPECT_EQ(uci("ovimar", "status", "secret"), PLATFORM_SECRET);
    EXPECT_STREQ(g_dev_status.secret, PLATFORM_SECRET);
    EXPECT_EQ(mqtt_registered_fd(), -1);
    ASSERT_TRUE(pump_until(1000, [] { return !mqtt_has_client(); }));
    EXPECT_TRUE(has(out.text(), "bind success, disconnect mqtt, prepare to reconnect http server\n"));

    // Authenticated again, now bound.
    kick();
    ASSERT_TRUE(reach(OVIMAR_FINISHED, 10000));
    EXPECT_EQ(changes(out.text()),
              (std::vector<uint32_t>{OVIMAR_HTTPS_AUTH, OVIMAR_HTTPS_GET_SERVER,
                                     OVIMAR_MQTT_CONNECT, OVIMAR_MQTT_CONNECTING,
                                     OVIMAR_MQTT_CONNECTED, OVIMAR_FINISHED}));

    // Refusals: another state, another method, an answer without secret.
    struct refusal {
        uint32_t state;
        void (*act)();
        const char *line;
    };
    const refusal cases[] = {
        {OVIMAR_FINISHED, [] { app_msg_handler(R"({"method":"bind"})"); },
         " ovimar status not in OVIMAR_MQTT_APP_AUTH:8\n"},
        {OVIMAR_MQTT_APP_AUTH, [] { app_msg_handler(R"({"method":"unbind"})"); },
         "invalid method from app msg. \n"},
        {OVIMAR_FINISHED, [] { EXPECT_EQ(bind_response_handler(R"({"devId":"X","id":"3"})"), -1); },
         "bind msg no devID or secret"},
    };
    for (const auto &c : cases) {
        StdoutCapture quiet;
        uint32_t seq = msg_seq;
        agent_state_set(c.state);
        c.act();
        EXPECT_TRUE(has(quiet.text(), c.line)) << c.line;
        EXPECT_EQ(msg_seq, seq);
        EXPECT_EQ(agent_state_get(), c.state);
    }
    EXPECT_EQ(uci("ovimar", "status", "devId"), PLATFORM_DEV_ID);
}

TEST_F(Session, UnbindRemovesIdentityAnswersThenEndsSession)
{
    up(true);
    ASSERT_EQ(uci("ovimar", "status", "devId"), "OLD-DEV");
    // Without id: answered 5003, nothing changes.
    platform_send(R"({"method":"unBind","cwmpVersion":"1.0"})");
    ASSERT_TRUE(platform_saw(R"(seen {"cwmpVersion":"1.0","result":"5003","id":""})"))
        << platform_log();
    EXPECT_EQ(agent_state_get(), OVIMAR_FINISHED);
    EXPECT_EQ(uci("ovimar", "status", "devId"), "OLD-DEV");

    platform_send(R"({"method":"unBind","cwmpVersion":"1.0","id":"41"})");
    ASSERT_TRUE(platform_saw(R"(seen {"cwmpVersion":"1.0","result":"0","id":"41"})"))
        << platform_log();
    ASSERT_TRUE(reach(OVIMAR_HTTPS_AUTH, 3000));
    EXPECT_EQ(uci("ovimar", "status", "devId"), "");
    EXPECT_FALSE(has(router.config("ovimar"), "config status"));
    EXPECT_FALSE(has(router.config("zorvex_group"), "shp"));
    EXPECT_EQ(g_dev_status.devId[0], '\0');
    EXPECT_EQ(g_bind_info.regCode[0], '\0');
    EXPECT_STREQ(g_bind_info.devId, "SHP-DEV-1");
    ASSERT_TRUE(pump_until(1000, [] { return !mqtt_has_client(); }));

    // Without identity the device waits for a new bind.
    kick();
    ASSERT_TRUE(reach(OVIMAR_MQTT_APP_AUTH, 10000));

    // A reply that cannot go out: identity gone all the same, state stays.
    mqtt_teardown();
    write_uci(true);
    config_load();
    StdoutCapture out;
    EXPECT_EQ(unbind_request_handler(R"({"method":"unBind","cwmpVersion":"1.0","id":"42"})"), 0);
    EXPECT_EQ(agent_state_get(), OVIMAR_MQTT_APP_AUTH);
    EXPECT_FALSE(has(router.config("ovimar"), "config status"));
    EXPECT_TRUE(has(out.text(), "Error: publish unBind failed. \n"));
}

TEST_F(Session, RelaysBothWays)
{
    up(true);
    // Platform request: to the service, whose reply goes back unchanged.
    uint32_t seq = msg_seq;
    platform_send(R"({"method":"getStatus","id":"77","cwmpVersion":"1.0"})");
    ASSERT_TRUE(platform_saw(R"(seen {"id":"77","result":"0","status":"ok"})")) << platform_log();
    EXPECT_TRUE(has(zorvex_log(), R"(call getStatus {"method":"getStatus","id":"77","cwmpVersion":"1.0"})"))
        << zorvex_log();
    EXPECT_EQ(msg_seq, seq + 1); // the reply took a number too

    // A local request: the session keys and a fresh id, the last request.
    send_event("Notify", R"({"method":"wifiChanged","ssid":"home"})");
    ASSERT_TRUE(platform_saw(R"(seen {"method":"wifiChanged","ssid":"home","cwmpVersion":"1.0",)"
                             R"("id":")" + std::to_string(seq + 2) +
                             R"(","cookie":"ck-1","uuid":"uuid-0001"})"))
        << platform_log();
    EXPECT_EQ(g_last_request.last_id, seq + 2);
    EXPECT_STREQ(g_last_request.last_method, "wifiChanged");

    // Neither request nor valid reply: refused, nothing numbered.
    const char *refused[] = {R"({"id":"0","result":"0"})", R"({"id":"9","result":"9009"})",
                             "not json"};
    for (const char *text : refused) {
        StdoutCapture out;
        local_msg_handler(text);
        EXPECT_EQ(msg_seq, seq + 2) << text;
        EXPECT_TRUE(has(out.text(), "failed to parse userdata, invalid")) << text;
    }
}

TEST_F(Session, NotifyMqttReconnectsWithBrokerFromUci)
{
    start_agent(testsupport::free_port());
    ASSERT_TRUE(pump_until(2500, [] { return g_ticks.size() >= 1; }));
    EXPECT_EQ(agent_state_get(), OVIMAR_MQTT_CONNECT); // nobody listens there

    auto r = testsupport::run({"uci", "set", "ovimar.mqtt.BrokerPort=" + std::to_string(broker.port())});
    ASSERT_EQ(r.code, 0) << r.err;
    for (const char *opt : {"BrokerAddress=127.0.0.1", "KeepAliveTime=30", "Username=device",
                            "Password=pw-0vimar"})
        ASSERT_EQ(testsupport::run({"uci", "set", std::string("ovimar.mqtt.") + opt}).code, 0);
    ASSERT_EQ(testsupport::run({"uci", "commit", "ovimar"}).code, 0);
    memset(g_mqtt_server.Password, 0, sizeof g_mqtt_server.Password);

    send_event("Notify", R"({"method":"mqtt"})");
    ASSERT_TRUE(reach(OVIMAR_MQTT_APP_AUTH, 8000));
    EXPECT_EQ(g_mqtt_server.KeepAliveTime, 30);
    EXPECT_STREQ(g_mqtt_server.Topic, TOPIC);
    EXPECT_STREQ(g_mqtt_server.uuid, UUID);
}

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

// Lost in an idle state: 4, then back with a fresh subscription.
void Session::kill_and_restart(bool bound)
{
    up(bound);
    std::string times = uci("ovimar", "mqtt_connect", "connected_times");
    broker.stop(SIGKILL);
    ASSERT_TRUE(reach(OVIMAR_MQTT_RECONNECT, 3000));
    EXPECT_EQ(mqtt_registered_fd(), -1);

    // Publishing meanwhile fails and says so.
    {
        StdoutCapture out;
        local_msg_handler(R"({"method":"wifiChanged"})");
        EXPECT_EQ(mqtt_publish_msg(nullptr, 0, nullptr), -1);
        EXPECT_TRUE(has(out.text(), "failed to send message to platform\n"));
        EXPECT_TRUE(has(out.text(), "invalid payload\n"));
    }

    kick();
    ASSERT_TRUE(pump_until(2500, [] { return g_ticks.back() == OVIMAR_MQTT_RECONNECT; }));
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(reach(bound ? OVIMAR_FINISHED : OVIMAR_MQTT_APP_AUTH, 8000));
    EXPECT_EQ(atoi(uci("ovimar", "mqtt_connect", "connected_times").c_str()),
              atoi(times.c_str()) + 1);
    EXPECT_NE(mqtt_registered_fd(), -1);
    // The platform's client comes back by itself; messages flow again.
    ASSERT_TRUE(pump_until(8000, [&] { return count(platform_log(), "subscribed") == 2; }))
        << platform_log();
    g_agent_got.clear();
    platform_send(R"({"method":"getStatus","id":"77"})");
    ASSERT_TRUE(pump_until(5000, [] { return !g_agent_got.empty(); }));
}

TEST_F(Session, BrokerKilledAndRestartedWhileWaitingForBind)
{
    kill_and_restart(false);
}

TEST_F(Session, BrokerKilledAndRestartedWhileBound)
{
    kill_and_restart(true);
}

TEST_F(Session, OddPayloads)
{
    up(true);
    log_level_set(OVIMAR_LOG_DEBUG);
    std::string big = R"({"method":"bulk","id":"5","blob":")" + std::string(1 << 20, 'x') + "\"}";
    StdoutCapture out;
    platform_send("{not json");
    platform_send("");
    platform_send(big);
    platform_send(R"({"id":"1","result":"0"})");
    ASSERT_TRUE(pump_until(8000, [] { return g_agent_got.size() >= 3; }));
    EXPECT_EQ(g_agent_got[0], "{not json");
    EXPECT_EQ(g_agent_got[1], big); // the empty one was never dispatched
    EXPECT_EQ(g_agent_got[2], R"({"id":"1","result":"0"})");
    EXPECT_TRUE(has(out.text(), "message->topic: down/uuid-0001 (null)\n"));
    EXPECT_EQ(agent_state_get(), OVIMAR_FINISHED);
}

// The CA file (read from UCI by every other test here) and the opt-in
// host name check.
TEST_F(Session, TlsCaFileAndHostCheck)
{
    testsupport::TestCerts stranger; // a CA that signed nothing the broker has
    struct tls_case {
        const char *address;
        bool verify_host;
        bool own_ca;
        bool connects;
    };
    const tls_case cases[] = {
        {testsupport::Broker::SECOND_ADDRESS, false, true, true},
        {testsupport::Broker::SECOND_ADDRESS, true, true, false},
        {"127.0.0.1", true, true, true},
        {"127.0.0.1", false, false, false},
    };
    start_agent(broker.port());
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.address) + (c.verify_host ? " verified" : "") +
                     (c.own_ca ? "" : " stranger CA"));
        mqtt_teardown();
        set(g_config_mqtt.ca_file, c.own_ca ? certs->ca : stranger.ca);
        g_config_mqtt.verify_host = c.verify_host;
        set(g_mqtt_server.BrokerAddress, c.address);
        agent_state_set(OVIMAR_MQTT_CONNECT);
        state_machine_arm(); // no back-off left over from the case before
        kick();
        // A refused handshake may end inside the connect call already (it
        // does under emulation), so only a good one must pass state 3.
        if (c.connects) {
            ASSERT_TRUE(reach(OVIMAR_MQTT_CONNECTING, 3000));
        }
        EXPECT_EQ(reach(OVIMAR_MQTT_APP_AUTH, c.connects ? 5000 : 2500), c.connects);
    }
}
