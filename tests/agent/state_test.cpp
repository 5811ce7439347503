// The registration state machine, ticked by hand with a fake clock, fake
// rand and fake operations: what each tick does and when the next comes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture.h"
#include "config.h"
#include "log.h"
#include "loop.h"
#include "mqtt.h"
#include "retry.h"
#include "state.h"

namespace {

struct Fake {
    int64_t ms = 1000000; // the monotonic clock; the wall clock is ms / 1000
    int rand_value = 0;
    int keepalive = 0;
    // What a login, a connect or a reconnect does to the state.
    bool auth_answers = false;
    int connect_rc = 0;
    std::vector<std::string> calls;
    // What a server request does to the state (accepted or not).
    bool server_answers = false;
    bool bound = false;
};

Fake *g_fake;

void record(const char *what) { g_fake->calls.push_back(what); }

const state_ops FAKE_OPS = {
    [] {
        record("dev_auth");
        if (g_fake->auth_answers)
            agent_state_set(OVIMAR_HTTPS_GET_SERVER);
        return 0;
    },
    [] {
        record("get_server");
        if (g_fake->server_answers)
            agent_state_set(OVIMAR_MQTT_CONNECT);
        return 0;
    },
    [] { record("connect"); return g_fake->connect_rc; },
    [] { record("reconnect"); return g_fake->connect_rc; },
    [] { record("teardown"); return 0; },
    [] { record("loop_misc"); },
    [](const char *method, const char *) {
        record(method);
        return 0;
    },
    [](void *dst) {
        if (g_fake->bound) {
            strcpy(static_cast<char *>(dst), "dev1");
            strcpy(static_cast<char *>(dst) + DEV_ID_LEN, "s3cret");
        }
    },
    [](time_t *) { return static_cast<time_t>(g_fake->ms / 1000); },
    [] { return g_fake->rand_value; },
    [] { return static_cast<time_t>(g_fake->ms / 1000); },
    [] { return g_fake->ms; },
    [] { return g_fake->keepalive; },
};

class StateMachine : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_fake = &fake;
        saved = g_state_ops;
        g_state_ops = FAKE_OPS;
        agent_state_set(OVIMAR_HTTPS_AUTH);
        g_config_get_mqtt_server.retries = 0;
        g_config_retry = RETRY_DEFAULTS;
        ASSERT_EQ(state_machine_arm(), 0);
        log_level_set(OVIMAR_LOG_INFO);
    }
    void TearDown() override
    {
        uloop_timeout_cancel(&g_state_timer);
        g_state_ops = saved;
        log_level_set(OVIMAR_LOG_ERR);
    }

    // Runs one tick and returns the delay it armed, in ms.
    int64_t tick_ms()
    {
        fake.calls.clear();
        armed = state_machine_step();
        return armed;
    }
    int tick() { return static_cast<int>((tick_ms() + 500) / 1000); }

    // Ticks, then advances the fake clock by the delay (in s).
    int step()
    {
        int d = tick();
        fake.ms += armed;
        return d;
    }

    // Ticks until one makes this call, and past it; returns when it came.
    int64_t until(const std::string &call, int64_t limit_ms = 4000000)
    {
        int64_t start = fake.ms;
        while (fake.ms - start < limit_ms) {
            tick_ms();
            int64_t at = fake.ms;
            fake.ms += armed;
            if (!fake.calls.empty() && fake.calls[0] == call)
                return at;
        }
        ADD_FAILURE() << "no " << call << " within " << limit_ms << " ms";
        return -1;
    }

    Fake fake;
    state_ops saved;
    int64_t armed = 0;
};

} // namespace

TEST_F(StateMachine, ArmFiresFirstTickAfterOneSecond)
{
    EXPECT_TRUE(g_state_timer.pending);
    int64_t ms = remaining_ms(&g_state_timer);
    EXPECT_GT(ms, 900);
    EXPECT_LE(ms, 1000);
    EXPECT_EQ(g_state_timer.cb, state_machine_tick);
}

TEST_F(StateMachine, FreshDeviceWalksToAppAuth)
{
    fake.server_answers = true;
    std::vector<uint32_t> seen;
    auto walk = [&] {
        seen.push_back(agent_state_get());
        return step();
    };

    EXPECT_EQ(walk(), 1); // 0: login, answered by the platform
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"dev_auth"}));
    agent_state_set(OVIMAR_HTTPS_GET_SERVER);
    EXPECT_EQ(walk(), 1); // 1: broker request accepted
    EXPECT_EQ(walk(), 1); // 2: connect
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"connect", "loop_misc"}));
    agent_state_set(OVIMAR_MQTT_CONNECTING);
    EXPECT_EQ(walk(), 1); // 3: waiting for the subscription
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"loop_misc"}));
    agent_state_set(OVIMAR_MQTT_CONNECTED);
    EXPECT_EQ(walk(), 1); // 5: not bound
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"devInfoSync", "loop_misc"}));
    EXPECT_EQ(agent_state_get(), OVIMAR_MQTT_APP_AUTH);
    EXPECT_EQ(walk(), 10); // 6: idle ticks every 10 s
    EXPECT_EQ(walk(), 10);
    EXPECT_EQ(seen, (std::vector<uint32_t>{0, 1, 2, 3, 5, 6, 6}));
}

TEST_F(StateMachine, BoundDeviceFinishesAndIdles)
{
    fake.bound = true;
    agent_state_set(OVIMAR_MQTT_CONNECTED);
    StdoutCapture out;
    EXPECT_EQ(step(), 1);
    EXPECT_EQ(agent_state_get(), OVIMAR_FINISHED);
    EXPECT_NE(out.text().find("channge to OVIMAR_FINISHED status.\n"), std::string::npos);
    EXPECT_EQ(step(), 10);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"loop_misc"}));
}

TEST_F(StateMachine, FailedDevInfoSyncIsLoggedAndDecisionStillMade)
{
    g_state_ops.call_forward = [](const char *, const char *) { return 7; };
    agent_state_set(OVIMAR_MQTT_CONNECTED);
    StdoutCapture out;
    step();
    EXPECT_NE(out.text().find("failed to ubus call API_DEV_INFO_SYNC\n"), std::string::npos);
    EXPECT_EQ(agent_state_get(), OVIMAR_MQTT_APP_AUTH);
}

TEST_F(StateMachine, UnansweredServerWithoutRetriesGivesUpAtOnce)
{
    agent_state_set(OVIMAR_HTTPS_GET_SERVER);
    fake.rand_value = 123; // 10 + 123 % 51 = 31 s, longer than a first retry
    StdoutCapture out;
    int64_t gave_up = fake.ms;
    EXPECT_EQ(step(), 1);
    EXPECT_EQ(agent_state_get(), OVIMAR_HTTPS_AUTH);
    EXPECT_NE(out.text().find("try to get mqtt server timeout. back to auth state!\n"),
              std::string::npos);
    // Ticks go on each second; the login waits out the 31 s.
    EXPECT_EQ(until("dev_auth") - gave_up, 31000);
}

TEST_F(StateMachine, UnansweredServerSendsRetriesPlusOneRequests)
{
    g_config_get_mqtt_server.retries = 3;
    fake.auth_answers = true;
    for (int r : {0, 50, 51}) {
        state_machine_arm(); // a device's first give-up
        agent_state_set(OVIMAR_HTTPS_AUTH);
        fake.rand_value = r;
        until("dev_auth"); // the login resets the retry counter
        int requests = 0;
        int64_t last = 0;
        while (agent_state_get() == OVIMAR_HTTPS_GET_SERVER && requests < 10) {
            last = fake.ms;
            EXPECT_EQ(step(), 1);
            requests++;
        }
        EXPECT_EQ(requests, 4);
        EXPECT_EQ(agent_state_get(), OVIMAR_HTTPS_AUTH);
        EXPECT_EQ(until("dev_auth") - last, (10 + r % 51) * 1000); // 10, 60, 10 s
    }
}

TEST_F(StateMachine, AnswerOnLastAllowedAttemptMovesOn)
{
    g_config_get_mqtt_server.retries = 2;
    step();
    agent_state_set(OVIMAR_HTTPS_GET_SERVER);
    StdoutCapture out;
    EXPECT_EQ(step(), 1);
    EXPECT_EQ(step(), 1);
    fake.server_answers = true;
    EXPECT_EQ(step(), 1);
    EXPECT_EQ(agent_state_get(), OVIMAR_MQTT_CONNECT);
    EXPECT_EQ(out.text().find("back to auth state"), std::string::npos);
    EXPECT_NE(out.text().find("end get_server  g_config_get_mqtt_server.retries 2\n"),
              std::string::npos);
}

TEST_F(StateMachine, ConnectingGivesUpAfterSixtySeconds)
{
    agent_state_set(OVIMAR_MQTT_CONNECTING);
    tick(); // first tick in state 3: entry time taken here
    for (int s = 1; s <= 60; s++) {
        fake.ms += 1000;
        tick();
        ASSERT_EQ(agent_state_get(), OVIMAR_MQTT_CONNECTING) << "after " << s << " s";
        EXPECT_EQ(fake.calls, (std::vector<std::string>{"loop_misc"}));
    }
    fake.ms += 1000;
    EXPECT_EQ(tick(), 1);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"teardown", "loop_misc"}));
    EXPECT_EQ(agent_state_get(), OVIMAR_MQTT_CONNECT);
    // A failed session: the fresh connect comes after a first retry's wait.
    int64_t failed_at = fake.ms;
    fake.ms += armed;
    int64_t waited = until("connect") - failed_at;
    EXPECT_GE(waited, 1000);
    EXPECT_LT(waited, 4000);
}

TEST_F(StateMachine, ReconnectAndUnknownStates)
{
    agent_state_set(OVIMAR_MQTT_RECONNECT);
    EXPECT_EQ(step(), 1);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"reconnect", "loop_misc"}));
    for (uint32_t s : {7u, 9u, 0xffffffffu}) {
        agent_state_set(s);
        EXPECT_EQ(step(), 1);
        EXPECT_EQ(fake.calls, (std::vector<std::string>{"loop_misc"}));
    }
}

// Attempt n + 1 after n failures in a row waits between min_wait*k^(n-2)
// and min_wait*k^(n-1) s, the first retry 1 to 4 s; capped at max_wait.
TEST_F(StateMachine, FailedLoginsBackOffExponentiallyWithinTheirBounds)
{
    g_config_retry = {2, 3000, 100, 120};
    struct {
        int rand_value;
        int64_t first, then[5]; // the waits, in ms
    } cases[] = {
        // rand 0: each bound's low end; the cap then holds at [50, 100] s
        {0, 1000, {2000, 6000, 18000, 50000, 50000}},
        // rand 2^31 - 1: near the high ends
        {2147483647, 1000 + 2147483647 % 9001,
         {2000 + 2147483647 % 4001, 6000 + 2147483647 % 12001, 18000 + 2147483647 % 36001,
          50000 + 2147483647 % 50001, 50000 + 2147483647 % 50001}},
    };
    for (const auto &c : cases) {
        state_machine_arm();
        fake.rand_value = c.rand_value;
        int64_t at = until("dev_auth");
        for (int64_t w : {c.first, c.then[0], c.then[1], c.then[2], c.then[3], c.then[4]}) {
            int64_t next = until("dev_auth");
            EXPECT_EQ(next - at, w);
            at = next;
        }
    }
}

TEST_F(StateMachine, OnlyASessionThatStoodAMinuteResetsTheBackOff)
{
    for (int i = 0; i < 6; i++)
        until("dev_auth");
    // A session granted and lost within the minute: the seventh failure.
    agent_state_set(OVIMAR_MQTT_CONNECTED);
    state_session_up();
    step();
    EXPECT_EQ(agent_state_get(), OVIMAR_MQTT_APP_AUTH);
    fake.ms += 30000;
    step();
    agent_state_set(OVIMAR_MQTT_RECONNECT);
    state_setback();
    EXPECT_EQ(agent_failures(), 7u);
    EXPECT_EQ(agent_retry_in(), static_cast<uint32_t>(retry_delay_ms(7, [] { return 0; }) / 1000));

    // One that stood a minute: a lost session, then a broker that refuses
    // are a first failure and a second one.
    agent_state_set(OVIMAR_MQTT_CONNECTED);
    state_session_up();
    int64_t up = fake.ms;
    while (agent_failures() && fake.ms - up < 70000)
        step();
    EXPECT_EQ(agent_failures(), 0u);
    EXPECT_GE(fake.ms - up, 60000);
    agent_state_set(OVIMAR_MQTT_RECONNECT);
    state_setback();
    fake.connect_rc = 14;
    int64_t lost = fake.ms;
    int64_t first = until("reconnect");
    EXPECT_EQ(first - lost, 1000);
    EXPECT_EQ(until("reconnect") - first, 5000);
}

TEST_F(StateMachine, RefusedCredentialsAndAnUnreachableBrokerBringANewLogin)
{
    // The broker refused the credentials (state 0 set while connecting).
    agent_state_set(OVIMAR_MQTT_CONNECTING);
    step();
    agent_state_set(OVIMAR_HTTPS_AUTH);
    state_setback();
    int64_t refused = fake.ms;
    EXPECT_EQ(until("dev_auth") - refused, 1000);

    // Reconnects that keep failing: after broker_limit less a quarter (rand
    // 0), a new login in the first retry window.
    g_config_retry.broker_limit = 30;
    agent_state_set(OVIMAR_MQTT_RECONNECT);
    fake.connect_rc = 14;
    int64_t start = fake.ms;
    int reconnects = 0;
    while (agent_state_get() == OVIMAR_MQTT_RECONNECT && fake.ms - start < 100000) {
        step();
        if (!fake.calls.empty() && fake.calls[0] == "reconnect")
            reconnects++;
    }
    int64_t gave_up = fake.ms - armed;
    EXPECT_EQ(agent_state_get(), OVIMAR_HTTPS_AUTH);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"teardown"}));
    EXPECT_GE(gave_up - start, 22500);
    EXPECT_LE(gave_up - start, 23500);
    EXPECT_GE(reconnects, 2);
    EXPECT_LE(reconnects, 5); // backed off, not once a second
    EXPECT_EQ(until("dev_auth") - gave_up, 1000);

    // Its broker out of reach too: the next give-up is a failure, waited out.
    fake.auth_answers = fake.server_answers = true;
    int64_t failures = g_state_tick.failures;
    until("get_server");
    ASSERT_EQ(agent_state_get(), OVIMAR_MQTT_CONNECT);
    start = fake.ms;
    while (agent_state_get() != OVIMAR_HTTPS_AUTH && fake.ms - start < 100000)
        step();
    gave_up = fake.ms - armed;
    EXPECT_LE(gave_up - start, 31000);
    EXPECT_GE(until("dev_auth") - gave_up, retry_delay_ms(failures + 2, [] { return 0; }));
}

TEST_F(StateMachine, LookupInFlightIsNoFailure)
{
    agent_state_set(OVIMAR_MQTT_CONNECT);
    fake.connect_rc = MQTT_PENDING;
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(step(), 1);
        EXPECT_EQ(fake.calls, (std::vector<std::string>{"connect", "loop_misc"}));
    }
}

TEST_F(StateMachine, HousekeepingKeepsShortKeepalives)
{
    agent_state_set(OVIMAR_FINISHED);
    for (auto [keepalive, ms] : {std::pair{0, 10000}, {60, 10000}, {20, 10000}, {12, 6000},
                                 {5, 2500}, {1, 1000}}) {
        fake.keepalive = keepalive;
        EXPECT_EQ(tick_ms(), ms) << "keepalive " << keepalive;
    }
}

TEST_F(StateMachine, StateChangeLogShowsNewThenOld)
{
    StdoutCapture out;
    agent_state_set(OVIMAR_HTTPS_GET_SERVER);
    EXPECT_EQ(out.text(), "change state machines to:1 from:0\n");
}
