#include "state.h"

#include <cstdlib>
#include <cstring>

#include "config.h"
#include "log.h"
#include "mqtt.h"
#include "request.h"
#include "ubus.h"

namespace {

uint32_t g_agent_state;
time_t g_state_changed; // on g_state_ops.mono

constexpr int GIVE_UP_MIN_S = 10;
constexpr int GIVE_UP_SPAN_S = 51;  // 10..60 s
constexpr time_t CONNECTING_LIMIT_S = 60;
constexpr int IDLE_DELAY_S = 10;

// Each returns the next delay in seconds.
int tick_auth(time_t)
{
    g_state_ops.dev_auth();
    g_state_tick.retries = 0;
    return 1;
}

int tick_get_server(time_t)
{
    g_state_ops.get_mqtt_server();
    ovimar_log(OVIMAR_LOG_INFO, "end get_server  g_config_get_mqtt_server.retries %d\n",
               g_config_get_mqtt_server.retries);
    if (agent_state_get() != OVIMAR_HTTPS_GET_SERVER)
        return 1;
    if (g_state_tick.retries < g_config_get_mqtt_server.retries) {
        g_state_tick.retries++;
        return 1;
    }
    ovimar_log(OVIMAR_LOG_INFO, "try to get mqtt server timeout. back to auth state!\n");
    agent_state_set(OVIMAR_HTTPS_AUTH);
    return GIVE_UP_MIN_S + g_state_ops.rand() % GIVE_UP_SPAN_S;
}

int tick_connect(time_t)
{
    g_state_ops.mqtt_connect();
    g_state_ops.mqtt_loop_misc();
    return 1;
}

int tick_connecting(time_t in_state)
{
    if (in_state > CONNECTING_LIMIT_S) {
        g_state_ops.mqtt_teardown();
        agent_state_set(OVIMAR_MQTT_CONNECT);
    }
    g_state_ops.mqtt_loop_misc();
    return 1;
}

int tick_reconnect(time_t)
{
    g_state_ops.mqtt_reconnect();
    g_state_ops.mqtt_loop_misc();
    return 1;
}

int tick_connected(time_t)
{
    if (g_state_ops.call_forward("devInfoSync", nullptr) != 0)
        ovimar_log(OVIMAR_LOG_ERR, "failed to ubus call API_DEV_INFO_SYNC\n");

    char block[DEV_STATUS_BLOCK_LEN];
    memset(block, 0, sizeof(block));
    g_state_ops.dev_status_get(block);
    const char *dev_id = block;
    const char *secret = block + DEV_ID_LEN;
    if (dev_id[0] && secret[0]) {
        agent_state_set(OVIMAR_FINISHED);
        ovimar_log(OVIMAR_LOG_INFO, "channge to OVIMAR_FINISHED status.\n");
    } else {
        agent_state_set(OVIMAR_MQTT_APP_AUTH);
        ovimar_log(OVIMAR_LOG_INFO,
                   "channge to OVIMAR_MQTT_APP_AUTH status. wait for app activate\n");
    }
    g_state_ops.mqtt_loop_misc();
    return 1;
}

int tick_idle(time_t)
{
    g_state_ops.mqtt_loop_misc();
    return IDLE_DELAY_S;
}

int tick_other(time_t)
{
    g_state_ops.mqtt_loop_misc();
    return 1;
}

using tick_fn = int (*)(time_t in_state);

// Indexed by state; 7 and anything unknown take tick_other.
constexpr tick_fn g_tick_table[] = {
    tick_auth,       // OVIMAR_HTTPS_AUTH
    tick_get_server, // OVIMAR_HTTPS_GET_SERVER
    tick_connect,    // OVIMAR_MQTT_CONNECT
    tick_connecting, // OVIMAR_MQTT_CONNECTING
    tick_reconnect,  // OVIMAR_MQTT_RECONNECT
    tick_connected,  // OVIMAR_MQTT_CONNECTED
    tick_idle,       // OVIMAR_MQTT_APP_AUTH
    tick_other,      // 7
    tick_idle,       // OVIMAR_FINISHED
};

int dev_auth_op()
{
    return https_dev_auth();
}

int get_server_op()
{
    return https_get_mqtt_server();
}

time_t mono_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

} // namespace

struct state_ops g_state_ops = {
    dev_auth_op, get_server_op, mqtt_connect, mqtt_reconnect, mqtt_teardown,
    mqtt_loop_misc, ubus_call_forward, dev_status_get, time, rand, mono_seconds,
};

struct uloop_timeout g_state_timer;
struct state_tick g_state_tick;

uint32_t agent_state_get()
{
    return g_agent_state;
}

void agent_state_set(uint32_t state)
{
    ovimar_log(OVIMAR_LOG_INFO, "change state machines to:%d from:%d\n", state, g_agent_state);
    if (state != g_agent_state)
        g_state_changed = g_state_ops.mono();
    g_agent_state = state;
}

time_t agent_state_seconds()
{
    return g_state_ops.mono() - g_state_changed;
}

void state_machine_tick(struct uloop_timeout *t)
{
    uint32_t state = agent_state_get();
    time_t now = g_state_ops.now(nullptr);
    time_t in_state = 0;

    if (state == g_state_tick.prev_state)
        in_state = now - g_state_tick.entered;
    else
        g_state_tick.entered = now;
    g_state_tick.prev_state = state;

    ovimar_log(OVIMAR_LOG_DEBUG, "-----state machines:%d----\n", state);

    constexpr size_t n = sizeof(g_tick_table) / sizeof(g_tick_table[0]);
    tick_fn fn = state < n ? g_tick_table[state] : tick_other;
    uloop_timeout_set(t, fn(in_state) * 1000);
}

int state_machine_arm()
{
    g_state_timer.cb = state_machine_tick;
    g_state_tick.prev_state = 0;
    g_state_changed = g_state_ops.mono();
    return uloop_timeout_set(&g_state_timer, 1000) < 0 ? -1 : 0;
}
