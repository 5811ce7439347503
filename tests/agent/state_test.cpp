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
#include "state.h"

namespace {

struct Fake {
    time_t now = 1000;
    int rand_value = 0;
    std::vector<std::string> calls;
    // What a server request does to the state (accepted or not).
    bool server_answers = false;
    bool bound = false;
};

Fake *g_fake;

void record(const char *what) { g_fake->calls.push_back(what); }

const state_ops FAKE_OPS = {
    [] { record("dev_auth"); return 0; },
    [] {
        record("get_server");
        if (g_fake->server_answers)
            agent_state_set(OVIMAR_MQTT_CONNECT);
        return 0;
    },
    [] { record("connect"); return 0; },
    [] { record("reconnect"); return 0; },
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
    [](time_t *) { return g_fake->now; },
    [] { return g_fake->rand_value; },
    [] { return g_fake->now; },
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
        ASSERT_EQ(state_machine_arm(), 0);
        log_level_set(OVIMAR_LOG_INFO);
    }
    void TearDown() override
    {
        uloop_timeout_cancel(&g_state_timer);
        g_state_ops = saved;
        log_level_set(OVIMAR_LOG_ERR);
    }

    // Runs one tick and returns the delay it armed, in seconds.
    int tick()
    {
        fake.calls.clear();
        state_machine_tick(&g_state_timer);
        EXPECT_TRUE(g_state_timer.pending);
        int64_t ms = remaining_ms(&g_state_timer);
        return static_cast<int>((ms + 500) / 1000);
    }

    // Ticks, then advances the fake clock by the delay.
    int step()
    {
        int d = tick();
        fake.now += d;
        return d;
    }

    Fake fake;
    state_ops saved;
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
    fake.rand_value = 123; // 10 + 123 % 51 = 31
    StdoutCapture out;
    EXPECT_EQ(step(), 31);
    EXPECT_EQ(agent_state_get(), OVIMAR_HTTPS_AUTH);
    EXPECT_NE(out.text().find("try to get mqtt server timeout. back to auth state!\n"),
              std::string::npos);
    EXPECT_EQ(step(), 1);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"dev_auth"}));
}

TEST_F(StateMachine, UnansweredServerSendsRetriesPlusOneRequests)
{
    g_config_get_mqtt_server.retries = 3;
    for (int r : {0, 50, 51}) {
        fake.rand_value = r;
        agent_state_set(OVIMAR_HTTPS_AUTH);
        step(); // login resets the retry counter
        agent_state_set(OVIMAR_HTTPS_GET_SERVER);
        int requests = 0;
        int delay = 0;
        while (agent_state_get() == OVIMAR_HTTPS_GET_SERVER && requests < 10) {
            delay = step();
            requests++;
            if (agent_state_get() == OVIMAR_HTTPS_GET_SERVER) {
                EXPECT_EQ(delay, 1);
            }
        }
        EXPECT_EQ(requests, 4);
        EXPECT_EQ(delay, 10 + r % 51); // 10, 60, 10
        EXPECT_EQ(agent_state_get(), OVIMAR_HTTPS_AUTH);
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
        fake.now++;
        tick();
        ASSERT_EQ(agent_state_get(), OVIMAR_MQTT_CONNECTING) << "after " << s << " s";
        EXPECT_EQ(fake.calls, (std::vector<std::string>{"loop_misc"}));
    }
    fake.now++;
    EXPECT_EQ(tick(), 1);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"teardown", "loop_misc"}));
    EXPECT_EQ(agent_state_get(), OVIMAR_MQTT_CONNECT);
    tick();
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"connect", "loop_misc"}));
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

TEST_F(StateMachine, StateChangeLogShowsNewThenOld)
{
    StdoutCapture out;
    agent_state_set(OVIMAR_HTTPS_GET_SERVER);
    EXPECT_EQ(out.text(), "change state machines to:1 from:0\n");
}
