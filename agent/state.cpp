#include "state.h"

#include <cstdlib>
#include <cstring>

#include "config.h"
#include "log.h"
#include "mqtt.h"
#include "request.h"
#include "retry.h"
#include "ubus.h"

namespace {

uint32_t g_agent_state;
time_t g_state_changed; // on g_state_ops.mono

constexpr int64_t TICK_MS = 1000;
constexpr int GIVE_UP_MIN_S = 10;
constexpr int GIVE_UP_SPAN_S = 51;  // 10..60 s
constexpr time_t CONNECTING_LIMIT_S = 60;
constexpr int64_t IDLE_MS = 10000;
// A session counts as standing, and the back-off starts over, once it has
// held this long. Not the keepalive: the platform names that, and 5 s
// (the least the library takes) would let a broker that cuts every session
// draw a connect every few seconds; with 60 s a device that loses each
// session after a minute still makes at most 5 connects in 5 minutes.
constexpr int64_t STOOD_MS = 60000;

int64_t shorter(int64_t a, int64_t b)
{
    return a < b ? a : b;
}

// A failed attempt: the next one waits out the back-off. Ticks go on each
// second meanwhile, so that what other parts change is seen.
int64_t failed(int64_t now, int64_t at_least = 0)
{
    auto &t = g_state_tick;
    t.failures++;
    int64_t d = retry_delay_ms(t.failures, g_state_ops.rand);
    if (d < at_least)
        d = at_least;
    t.retry_at = now + d;
    ovimar_log(OVIMAR_LOG_INFO, "attempt failed %d times in a row, next in %lld ms\n",
               t.failures, static_cast<long long>(d));
    return shorter(d, TICK_MS);
}

// Until the next attempt is due; 0 when it is.
int64_t waiting(int64_t now)
{
    int64_t left = g_state_tick.retry_at - now;
    return left > 0 ? shorter(left, TICK_MS) : 0;
}

// A broker out of reach about this long may have moved or changed
// credentials: a new login brings a fresh broker record. Each device gives
// up at a time of its own around broker_limit, for a fleet loses its broker
// at once. The first give-up since a session stood is no failure, its login
// still comes within the first retry window; later ones are failures like
// any other, so that a broker down for good costs ever fewer logins.
bool broker_given_up(int64_t now)
{
    auto &t = g_state_tick;
    if (!t.broker_since) {
        t.broker_since = now;
        t.give_up_at = now + retry_give_up_ms(g_state_ops.rand);
        return false;
    }
    if (now < t.give_up_at)
        return false;
    ovimar_log(OVIMAR_LOG_INFO, "broker out of reach for %lld s. back to auth state!\n",
               static_cast<long long>((now - t.broker_since) / 1000));
    t.broker_since = 0;
    g_state_ops.mqtt_teardown();
    agent_state_set(OVIMAR_HTTPS_AUTH);
    t.prev_state = OVIMAR_HTTPS_AUTH;
    t.entered = g_state_ops.now(nullptr);
    if (t.gave_up) {
        failed(now);
        return true;
    }
    t.gave_up = true;
    int64_t d = retry_delay_ms(1, g_state_ops.rand);
    t.retry_at = now + d;
    ovimar_log(OVIMAR_LOG_INFO, "login in %lld ms\n", static_cast<long long>(d));
    return true;
}

// A session that has held STOOD_MS: failures start over.
void session_check(int64_t now)
{
    auto &t = g_state_tick;
    if (!t.session_since || now - t.session_since < STOOD_MS)
        return;
    t.session_since = 0;
    t.failures = 0;
    t.retry_at = 0;
    t.gave_up = false;
}

// Keepalive is kept by the housekeeping step: at least twice a keepalive.
int64_t housekeeping_ms()
{
    int64_t half = g_state_ops.keepalive() * 1000LL / 2;
    if (half <= 0 || half >= IDLE_MS)
        return IDLE_MS;
    return half < TICK_MS ? TICK_MS : half;
}

// Each returns the next delay in milliseconds.
int64_t tick_auth(time_t, int64_t now)
{
    g_state_tick.broker_since = 0;
    if (int64_t w = waiting(now))
        return w;
    g_state_ops.dev_auth();
    g_state_tick.retries = 0;
    return agent_state_get() == OVIMAR_HTTPS_AUTH ? failed(now) : TICK_MS;
}

int64_t tick_get_server(time_t, int64_t now)
{
    g_state_ops.get_mqtt_server();
    ovimar_log(OVIMAR_LOG_INFO, "end get_server  g_config_get_mqtt_server.retries %d\n",
               g_config_get_mqtt_server.retries);
    if (agent_state_get() != OVIMAR_HTTPS_GET_SERVER)
        return TICK_MS;
    if (g_state_tick.retries < g_config_get_mqtt_server.retries) {
        g_state_tick.retries++;
        return TICK_MS;
    }
    ovimar_log(OVIMAR_LOG_INFO, "try to get mqtt server timeout. back to auth state!\n");
    agent_state_set(OVIMAR_HTTPS_AUTH);
    return failed(now, (GIVE_UP_MIN_S + g_state_ops.rand() % GIVE_UP_SPAN_S) * 1000LL);
}

// A connect or a reconnect (op) from state, once the back-off allows.
int64_t attempt(int (*op)(), uint32_t state, int64_t now)
{
    if (broker_given_up(now))
        return TICK_MS;
    if (int64_t w = waiting(now))
        return w;
    int rc = op();
    g_state_ops.mqtt_loop_misc();
    if (rc == MQTT_PENDING || agent_state_get() != state)
        return TICK_MS;
    return failed(now);
}

int64_t tick_connect(time_t, int64_t now)
{
    return attempt(g_state_ops.mqtt_connect, OVIMAR_MQTT_CONNECT, now);
}

int64_t tick_connecting(time_t in_state, int64_t now)
{
    if (broker_given_up(now))
        return TICK_MS;
    if (in_state <= CONNECTING_LIMIT_S) {
        g_state_ops.mqtt_loop_misc();
        return TICK_MS;
    }
    g_state_ops.mqtt_teardown();
    agent_state_set(OVIMAR_MQTT_CONNECT);
    g_state_ops.mqtt_loop_misc();
    return failed(now);
}

int64_t tick_reconnect(time_t, int64_t now)
{
    return attempt(g_state_ops.mqtt_reconnect, OVIMAR_MQTT_RECONNECT, now);
}

int64_t tick_connected(time_t, int64_t now)
{
    session_check(now);
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
    return TICK_MS;
}

int64_t tick_idle(time_t, int64_t now)
{
    session_check(now);
    g_state_ops.mqtt_loop_misc();
    int64_t next = housekeeping_ms();
    // A tick when the session will have stood long enough.
    const auto &t = g_state_tick;
    int64_t stood = t.session_since ? t.session_since + STOOD_MS - now : next;
    return stood < next ? (stood < TICK_MS ? TICK_MS : stood) : next;
}

int64_t tick_other(time_t, int64_t)
{
    g_state_ops.mqtt_loop_misc();
    return TICK_MS;
}

using tick_fn = int64_t (*)(time_t in_state, int64_t now);

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

int64_t mono_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

} // namespace

struct state_ops g_state_ops = {
    dev_auth_op, get_server_op, mqtt_connect, mqtt_reconnect, mqtt_teardown,
    mqtt_loop_misc, ubus_call_forward, dev_status_get, time, rand, mono_seconds,
    mono_ms, mqtt_keepalive,
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

int64_t state_machine_step()
{
    uint32_t state = agent_state_get();
    time_t now = g_state_ops.now(nullptr);
    int64_t now_ms = g_state_ops.mono_ms();
    time_t in_state = 0;

    if (state == g_state_tick.prev_state) {
        in_state = now - g_state_tick.entered;
    } else {
        g_state_tick.entered = now;
    }
    g_state_tick.prev_state = state;

    ovimar_log(OVIMAR_LOG_DEBUG, "-----state machines:%d----\n", state);

    constexpr size_t n = sizeof(g_tick_table) / sizeof(g_tick_table[0]);
    tick_fn fn = state < n ? g_tick_table[state] : tick_other;
    return fn(in_state, now_ms);
}

void state_session_up()
{
    g_state_tick.session_since = g_state_ops.mono_ms();
    g_state_tick.broker_since = 0; // it answers
}

void state_setback()
{
    auto &t = g_state_tick;
    t.session_since = 0;
    failed(g_state_ops.mono_ms());
    // The state the loss or refusal set is no news to the next tick.
    t.prev_state = agent_state_get();
    t.entered = g_state_ops.now(nullptr);
    if (g_state_timer.cb)
        uloop_timeout_set(&g_state_timer, static_cast<int>(TICK_MS));
}

uint32_t agent_failures()
{
    return static_cast<uint32_t>(g_state_tick.failures);
}

uint32_t agent_retry_in()
{
    int64_t left = g_state_tick.retry_at - g_state_ops.mono_ms();
    return left > 0 ? static_cast<uint32_t>((left + 999) / 1000) : 0;
}

void state_machine_tick(struct uloop_timeout *t)
{
    uloop_timeout_set(t, static_cast<int>(state_machine_step()));
}

int state_machine_arm()
{
    g_state_timer.cb = state_machine_tick;
    g_state_tick = {};
    g_state_changed = g_state_ops.mono();
    return uloop_timeout_set(&g_state_timer, 1000) < 0 ? -1 : 0;
}
