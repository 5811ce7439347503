// Registration state machine: one-second tick acting on the state it finds.
#pragma once

#include <cstdint>
#include <ctime>

extern "C" {
#include <libubox/uloop.h>
}

enum : uint32_t {
    OVIMAR_HTTPS_AUTH = 0,
    OVIMAR_HTTPS_GET_SERVER = 1,
    OVIMAR_MQTT_CONNECT = 2,
    OVIMAR_MQTT_CONNECTING = 3,
    OVIMAR_MQTT_RECONNECT = 4,
    OVIMAR_MQTT_CONNECTED = 5,
    OVIMAR_MQTT_APP_AUTH = 6,
    // 7 is never entered
    OVIMAR_FINISHED = 8,
};

uint32_t agent_state_get();
void agent_state_set(uint32_t state);
// Seconds since the state last took a new value (or the machine was armed).
time_t agent_state_seconds();

// The broker granted the subscription: a session now stands.
void state_session_up();
// A session lost, cut or taken over, or credentials refused: a failure,
// counted by the code that sees it, whatever state the last tick saw.
void state_setback();
// Failed attempts in a row (0: none), and seconds until the next attempt
// is due (0: none pending).
uint32_t agent_failures();
uint32_t agent_retry_in();

int state_machine_arm();
void state_machine_tick(struct uloop_timeout *t);
// One tick without the timer: returns the delay (ms) the tick would arm.
int64_t state_machine_step();

// What a tick calls. The defaults are the agent's own operations; tests
// swap entries to drive the machine with a fake clock and fake peers.
struct state_ops {
    int (*dev_auth)();
    int (*get_mqtt_server)();
    int (*mqtt_connect)();
    int (*mqtt_reconnect)();
    int (*mqtt_teardown)();
    void (*mqtt_loop_misc)();
    int (*call_forward)(const char *method, const char *args);
    void (*dev_status_get)(void *dst);
    time_t (*now)(time_t *t);
    int (*rand)();
    // Seconds on a clock that never steps (the wall clock does at the
    // first NTP sync); only for the operator's time in state.
    time_t (*mono)();
    // Milliseconds on that clock: when the next attempt after a failure is due.
    int64_t (*mono_ms)();
    // Seconds of MQTT keepalive the session runs with; 0 for none.
    int (*keepalive)();
};

extern struct state_ops g_state_ops;
extern struct uloop_timeout g_state_timer;

// Tick bookkeeping, process-wide.
struct state_tick {
    uint32_t prev_state;
    time_t entered;
    int retries;
    // Failed attempts since a session last stood, and when the next is due.
    int failures;
    int64_t retry_at;
    // Since when the broker has been out of reach (0: it is not), when
    // to give it up, and whether it was given up since a session last stood.
    int64_t broker_since;
    int64_t give_up_at;
    bool gave_up;
    // When the standing session was granted (0: none stands).
    int64_t session_since;
};

extern struct state_tick g_state_tick;
