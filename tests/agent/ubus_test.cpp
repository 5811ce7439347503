// The agent's bus bridge against a real bus daemon and a simulated
// carrier service: calls, replies, events, and recovery after the daemon
// goes away.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libubox/uloop.h>
#include <libubus.h>
}

#include "capture.h"
#include "log.h"
#include "loop.h"
#include "proc.h"
#include "router.h"
#include "ubus.h"

using testsupport::Child;

namespace {

std::vector<std::string> g_local, g_app;

void local_hook(const char *t) { g_local.emplace_back(t); }
void app_hook(const char *t) { g_app.emplace_back(t); }

class Bridge : public testsupport::RouterTest {
protected:
    const testsupport::TempDir &dir = world.dir();
    std::string sock = world.paths().ubus_socket;
    Child bus;
    Child zorvex;

    void SetUp() override
    {
        RouterTest::SetUp();
        if (IsSkipped())
            return;
        start_bus();
        testsupport::write_file(dir.file("replies.json"), R"({
            "devAuth": {"url": "http://platform/a/b", "say": "x\"y"},
            "devInfoSync": {"method": "devInfoSync", "v": "1"},
            "slow": {"_delay_ms": 10600, "late": "1"},
            "quiet": null
        })");
        g_local.clear();
        g_app.clear();
        log_level_set(OVIMAR_LOG_DEBUG);
    }

    void TearDown() override
    {
        ovimar_ubus_done();
        log_level_set(OVIMAR_LOG_ERR);
    }

    void start_bus()
    {
        unlink(sock.c_str());
        bus = Child({world.paths().ubusd, "-s", sock}, dir.file("ubusd.log"));
        ASSERT_TRUE(testsupport::wait_for(5000, [&] { return testsupport::unix_accepts(sock); }));
    }

    void start_zorvex()
    {
        std::string log = dir.file("zorvex.log");
        zorvex = Child({ZORVEX_SIM, "-s", sock, dir.file("replies.json")}, log);
        ASSERT_TRUE(testsupport::wait_for(5000, [&] {
            return testsupport::read_file(log).find("ready") != std::string::npos;
        }));
    }

    std::string zorvex_log() { return testsupport::read_file(dir.file("zorvex.log")); }

    void send_event(const std::string &name, const std::string &json)
    {
        auto r = testsupport::run({world.paths().ubus, "-s", sock, "send", name, json});
        ASSERT_EQ(r.code, 0) << r.err;
    }

    static void run_loop(int ms) { run_loop_for(ms); }

    // Runs the loop until pred holds or ms pass.
    template <class F> bool pump_until(int ms, F pred)
    {
        for (int waited = 0; waited < ms && !pred(); waited += 50)
            run_loop(50);
        return pred();
    }

    void connect_with_hooks()
    {
        ASSERT_EQ(ovimar_ubus_connect(), 0);
        ubus_hook_set(UBUS_HOOK_LOCAL, local_hook);
        ubus_hook_set(UBUS_HOOK_APP, app_hook);
        ASSERT_EQ(ubus_event_register("APP_AUTH", UBUS_HOOK_APP), 0);
        ASSERT_EQ(ubus_event_register("Notify", UBUS_HOOK_LOCAL), 0);
    }
};

} // namespace

TEST_F(Bridge, CollectingCallKeepsReplyWithoutBackslashes)
{
    start_zorvex();
    connect_with_hooks();

    resp_buf rb = {};
    ASSERT_EQ(ubus_call_collect("devAuth", nullptr, &rb), 0);
    ASSERT_NE(rb.resp_text, nullptr);
    // Escaped slashes become plain; every other escape stays, so the text
    // is still JSON.
    EXPECT_STREQ(rb.resp_text, R"({"url":"http://platform/a/b","say":"x\"y"})");
    EXPECT_EQ(rb.resp_len, strlen(rb.resp_text));
    free(rb.resp_text);
    EXPECT_TRUE(g_local.empty());

    // A callee that answers without data leaves no text.
    rb = {};
    EXPECT_EQ(ubus_call_collect("quiet", nullptr, &rb), 0);
    EXPECT_EQ(rb.resp_text, nullptr);
    EXPECT_EQ(rb.resp_len, 0u);

    StdoutCapture out;
    EXPECT_EQ(ubus_call_collect(nullptr, nullptr, &rb), -1);
    EXPECT_EQ(ubus_call_collect("devAuth", nullptr, nullptr), -1);
    EXPECT_NE(out.text().find("invalid para method:"), std::string::npos);
}

TEST_F(Bridge, ForwardingCallHandsReplyToLocalHook)
{
    start_zorvex();
    connect_with_hooks();

    StdoutCapture out;
    EXPECT_EQ(ubus_call_forward("devInfoSync", nullptr), 0);
    EXPECT_EQ(g_local, (std::vector<std::string>{R"({"method":"devInfoSync","v":"1"})"}));
    EXPECT_NE(out.text().find("zorvex ubus reply name:devInfoSync ret:0\n"), std::string::npos);

    // Arguments travel as given; text that is no JSON object sends nothing.
    EXPECT_EQ(ubus_call_forward("devInfoSync", R"({"id":"7","method":"devInfoSync"})"), 0);
    EXPECT_EQ(ubus_call_forward("devInfoSync", "not json"), 0);
    std::string calls = zorvex_log();
    EXPECT_NE(calls.find(R"(call devInfoSync {"id":"7","method":"devInfoSync"})"),
              std::string::npos) << calls;
    EXPECT_NE(calls.find("call devInfoSync {}"), std::string::npos) << calls;

    // A method the service lacks: the call's status, nothing for the hook.
    g_local.clear();
    EXPECT_EQ(ubus_call_forward("noSuchMethod", nullptr), UBUS_STATUS_METHOD_NOT_FOUND);
    EXPECT_TRUE(g_local.empty());
    EXPECT_NE(out.text().find("zorvex ubus reply name:noSuchMethod ret:3\n"), std::string::npos);
}

TEST_F(Bridge, CallsGiveUpAfterTenSeconds)
{
    start_zorvex();
    connect_with_hooks();
    StdoutCapture out;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ubus_call_forward("slow", nullptr), UBUS_STATUS_TIMEOUT);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(9900));
    EXPECT_TRUE(g_local.empty());
    EXPECT_NE(out.text().find("zorvex ubus reply name:slow ret:7\n"), std::string::npos);
}

TEST_F(Bridge, MissingObjectFailsBothCalls)
{
    connect_with_hooks();
    resp_buf rb = {};
    StdoutCapture out;
    EXPECT_EQ(ubus_call_collect("devAuth", nullptr, &rb), -1);
    EXPECT_EQ(ubus_call_forward("devInfoSync", nullptr), -1);
    EXPECT_EQ(rb.resp_text, nullptr);
    EXPECT_EQ(out.text().find("zorvex ubus reply"), std::string::npos);
}

TEST_F(Bridge, EventsReachTheirSlots)
{
    connect_with_hooks();
    send_event("APP_AUTH", R"({"method":"bind","url":"a/b"})");
    send_event("Notify", R"({"method":"mqtt"})");
    send_event("Other", R"({"method":"x"})");
    ASSERT_TRUE(pump_until(3000, [] { return !g_app.empty() && !g_local.empty(); }));
    run_loop(100);
    EXPECT_EQ(g_app, (std::vector<std::string>{R"({"method":"bind","url":"a/b"})"}));
    EXPECT_EQ(g_local, (std::vector<std::string>{R"({"method":"mqtt"})"}));

    // No hook in the slot: logged and dropped.
    ubus_hook_set(UBUS_HOOK_LOCAL, nullptr);
    StdoutCapture out;
    send_event("Notify", R"({"n":1})");
    ASSERT_TRUE(pump_until(3000, [&] {
        return out.text().find("ubus_isp_event_handler data:{\"n\":1}") != std::string::npos;
    }));
    EXPECT_EQ(g_local.size(), 1u);
}

TEST_F(Bridge, RecoversWhenTheDaemonComesBack)
{
    connect_with_hooks();
    StdoutCapture out;
    bus.stop(SIGKILL);
    ASSERT_TRUE(pump_until(3000, [&] {
        return out.text().find("reconnect to ubusd failed\n") != std::string::npos;
    })) << out.text();
    EXPECT_EQ(ubus_call_forward("devInfoSync", nullptr), -1);

    auto failed_at = std::chrono::steady_clock::now();
    start_bus();
    // The retry runs every 5 s; the events are registered again after it.
    ASSERT_TRUE(pump_until(7000, [&] {
        return out.text().find("reconnect to ubusd\n") != std::string::npos;
    })) << out.text();
    EXPECT_GE(std::chrono::steady_clock::now() - failed_at, std::chrono::milliseconds(4000));
    send_event("APP_AUTH", R"({"method":"bind"})");
    ASSERT_TRUE(pump_until(3000, [] { return !g_app.empty(); }));
    EXPECT_EQ(g_app.back(), R"({"method":"bind"})");

    start_zorvex();
    EXPECT_EQ(ubus_call_forward("devInfoSync", nullptr), 0);
}

// The service sends its events itself, and stays on the bus across a
// restart of the daemon without being started again.
TEST_F(Bridge, ServiceEventsAndReconnectWithoutRestart)
{
    start_zorvex();
    connect_with_hooks();
    auto emit = [&](const char *event, const char *data) {
        std::string arg = std::string(R"({"event":")") + event + R"(","data":)" + data + "}";
        return testsupport::run({world.paths().ubus, "-s", sock, "call", "zorvex_sim", "emit", arg}).code;
    };
    ASSERT_EQ(emit("APP_AUTH", R"({"method":"bind","url":"a/b"})"), 0);
    ASSERT_EQ(emit("Notify", R"({"method":"mqtt"})"), 0);
    ASSERT_TRUE(pump_until(3000, [] { return !g_app.empty() && !g_local.empty(); }));
    EXPECT_EQ(g_app, (std::vector<std::string>{R"({"method":"bind","url":"a/b"})"}));
    EXPECT_EQ(g_local, (std::vector<std::string>{R"({"method":"mqtt"})"}));

    StdoutCapture out;
    bus.stop(SIGKILL);
    start_bus();
    ASSERT_TRUE(testsupport::wait_for(5000, [&] { return zorvex_log().find("reconnected") !=
                                                         std::string::npos; }));
    ASSERT_TRUE(pump_until(7000, [&] {
        return out.text().find("reconnect to ubusd\n") != std::string::npos;
    }));
    EXPECT_EQ(ubus_call_forward("devInfoSync", nullptr), 0);
    ASSERT_EQ(emit("APP_AUTH", R"({"method":"bind"})"), 0);
    ASSERT_TRUE(pump_until(3000, [] { return g_app.size() == 2; }));
}
