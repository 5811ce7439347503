#include "mqtt.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <mosquitto.h>
#include <openssl/ssl.h>

extern "C" {
#include <libubox/uloop.h>
}

#include "cmd.h"
#include "config.h"
#include "dispatch.h"
#include "log.h"
#include "lookup.h"
#include "state.h"

namespace {

constexpr int SUBACK_FAILURE = 0x80;
constexpr int PACKETS_PER_STEP = 1;
// CONNACK refusals that fresh credentials from a new login may mend.
constexpr int CONNACK_BAD_CREDENTIALS = 4;
constexpr int CONNACK_NOT_AUTHORIZED = 5;

mqtt_message_hook g_message_hook;
mqtt_subscribe_hook g_subscribe_hook;

struct mosquitto *g_mosq;
// Ended from inside a library callback: destroyed on the next loop turn,
// once the library has returned.
struct mosquitto *g_doomed;
int g_depth; // library calls on the stack
struct uloop_timeout g_reaper;

// By member: libubox versions differ in what else the record holds.
struct uloop_fd no_fd()
{
    struct uloop_fd f = {};
    f.cb = mqtt_fd_handler;
    f.fd = -1;
    return f;
}

struct uloop_fd g_fd = no_fd();
unsigned int g_write_interest; // 1: read only, 0: read and write
bool g_live; // a connection stands (TCP at least), until its end is seen

// Marks a library call on the stack, so a teardown requested from a
// callback inside it is deferred.
struct in_library {
    in_library() { g_depth++; }
    ~in_library() { g_depth--; }
    in_library(const in_library &) = delete;
    in_library &operator=(const in_library &) = delete;
};

void fd_drop()
{
    uloop_fd_delete(&g_fd);
    g_fd.fd = -1;
}

// The library closes its socket on errors by itself, and the number is
// free for the next socket anyone opens: never keep a registration made
// for a socket that is gone.
void fd_sync()
{
    if (g_fd.fd >= 0 && (!g_mosq || mosquitto_socket(g_mosq) != g_fd.fd))
        fd_drop();
}

int fd_register()
{
    g_fd.cb = mqtt_fd_handler;
    g_fd.fd = mosquitto_socket(g_mosq);
    ovimar_log(OVIMAR_LOG_DEBUG, "uloopfd.fd %d\n", g_fd.fd);
    int ret = g_fd.fd < 0 ? -1 : uloop_fd_add(&g_fd, ULOOP_READ | ULOOP_WRITE);
    if (ret < 0) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to add mqtt socket to uloop ret:%d\n", ret);
        ovimar_log(OVIMAR_LOG_ERR, "failed to add mqtt soceket to uloop:%d\n", -1);
        g_fd.fd = -1;
        return -1;
    }
    g_write_interest = 0;
    return 0;
}

void destroy(struct mosquitto *m)
{
    mosquitto_disconnect(m);
    mosquitto_destroy(m);
    mosquitto_lib_cleanup();
}

void reap()
{
    if (g_depth > 0 || !g_doomed)
        return;
    struct mosquitto *m = g_doomed;
    g_doomed = nullptr;
    destroy(m);
}

void reaper_cb(struct uloop_timeout *)
{
    reap();
}

// From 2.0.16 on the library wants to write for the whole of a pending
// TLS handshake (the CONNECT waits behind it), and the socket is always
// writable: arming write then spins. Until the handshake is done, ask
// OpenSSL instead, as the library's own loop does.
bool wants_write(struct mosquitto *m)
{
    auto *ssl = static_cast<SSL *>(mosquitto_ssl_get(m));
    if (ssl && !SSL_is_init_finished(ssl))
        return SSL_want_write(ssl);
    return mosquitto_want_write(m);
}

// Once per connection, and a failure like any other, counted here: a
// session lost, cut or taken over by a twin, or a connection that ended
// before its session stood (no waiting out the 60 s of state 3 for it).
void connection_lost()
{
    if (!g_live)
        return;
    g_live = false;
    uint32_t state = agent_state_get();
    ovimar_log(OVIMAR_LOG_INFO, "Broker disconnected,prepare to reconnect current state is %d\n",
               state);
    if (state == OVIMAR_MQTT_CONNECTING) {
        mqtt_teardown();
        agent_state_set(OVIMAR_MQTT_CONNECT);
        state_setback();
    } else if (state > OVIMAR_MQTT_RECONNECT) {
        agent_state_set(OVIMAR_MQTT_RECONNECT);
        fd_drop();
        state_setback();
    }
}

void on_log(struct mosquitto *, void *, int, const char *text)
{
    ovimar_log(OVIMAR_LOG_DEBUG, "LOG %s\n", text);
}

// Callbacks of a client already ended (the library may go on reading
// after the handler that ended it) change nothing.
void on_connect(struct mosquitto *m, void *, int result)
{
    if (m != g_mosq)
        return;
    ovimar_log(OVIMAR_LOG_DEBUG, "mqtt connect callback \n");
    if (result != 0)
        ovimar_log(OVIMAR_LOG_ERR, "failed to mqtt connect broker result:%d\n", result);
    // Rotated or revoked credentials: only a new login brings new ones.
    if (result == CONNACK_BAD_CREDENTIALS || result == CONNACK_NOT_AUTHORIZED) {
        mqtt_teardown();
        agent_state_set(OVIMAR_HTTPS_AUTH);
        state_setback();
        return;
    }
    mosquitto_subscribe(m, nullptr, g_mqtt_server.Topic, g_config_mqtt.default_qos);
    mqtt_update_write_interest();
}

void on_message(struct mosquitto *m, void *, const struct mosquitto_message *msg)
{
    if (m != g_mosq)
        return;
    ovimar_log(OVIMAR_LOG_DEBUG, "mqtt message callback  message->payloadlen:%d\n",
               msg->payloadlen);
    if (msg->payloadlen <= 0 || !msg->payload) {
        ovimar_log(OVIMAR_LOG_DEBUG, "message->topic: %s (null)\n", msg->topic);
        return;
    }
    // The library terminates every payload it hands out.
    const char *text = static_cast<const char *>(msg->payload);
    ovimar_log(OVIMAR_LOG_DEBUG, "message: %s %s\n", msg->topic, text);
    if (g_message_hook)
        g_message_hook(text);
}

void on_subscribe(struct mosquitto *m, void *, int, int count, const int *granted)
{
    if (m != g_mosq)
        return;
    if (count < 0) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to subscribe topic");
        return;
    }
    connected_times_bump();
    if (g_subscribe_hook && count > 0)
        g_subscribe_hook(granted[0]);
}

void on_publish(struct mosquitto *, void *, int)
{
    ovimar_log(OVIMAR_LOG_DEBUG, "mqtt publish callback \n");
}

void on_disconnect(struct mosquitto *m, void *, int reason)
{
    // The socket is already closed: its registration goes before anyone
    // can open a socket with the same number.
    if (m == g_mosq)
        fd_sync();
    ovimar_log(OVIMAR_LOG_DEBUG, "mqtt disconnect callback \n");
    if (reason == 0)
        ovimar_log(OVIMAR_LOG_ERR, "Disconnected from broker");
    else if (reason == 1)
        ovimar_log(OVIMAR_LOG_ERR, "Broker disconnected unexpectedly");
    else
        ovimar_log(OVIMAR_LOG_ERR, "Broker disconnected: %s", mosquitto_strerror(reason));
}

// The library's TCP connect blocks, one address of the broker's name after
// the other, and a broker that drops SYNs would hold the loop for the
// kernel's two minutes of retries. Each address gets the whole limit: a
// tick that restarts what it breaks into watches the number the library's
// socket gets, and only once the socket there has tried for the limit does
// a signal that breaks off (no SA_RESTART) come, at its deadline.
struct connect_watch {
    int fd;         // the lowest free number when the library began
    ino_t ino;      // the socket last seen there
    int64_t since;  // ms: when it was first seen
    int64_t budget; // ms
    bool cut;       // that socket's connect was broken off
    bool breaking;  // the armed signal breaks off
    bool on;        // a connect is being watched
};

connect_watch g_watch;
constexpr int64_t WATCH_TICK_MS = 100;

int64_t mono_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void on_alarm(int);

void alarm_in(int64_t ms, bool breaking)
{
    g_watch.breaking = breaking;
    struct sigaction sa = {};
    sa.sa_handler = on_alarm;
    sa.sa_flags = breaking ? 0 : SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    itimerval v = {{0, 0}, {static_cast<time_t>(ms / 1000),
                            static_cast<suseconds_t>(ms % 1000 * 1000)}};
    setitimer(ITIMER_REAL, &v, nullptr);
}

void on_alarm(int)
{
    auto &w = g_watch;
    if (!w.on)
        return; // one that came as the watch ended
    int saved = errno;
    int64_t now = mono_ms();
    struct stat st = {};
    bool seen = fstat(w.fd, &st) == 0 && S_ISSOCK(st.st_mode);
    if (w.breaking)
        w.cut = true; // this very signal broke it off
    if (seen && st.st_ino != w.ino) {
        w.ino = st.st_ino;
        w.since = now;
        w.cut = false;
    }
    int64_t left = w.since + w.budget - now;
    if (!seen || w.cut || left > WATCH_TICK_MS)
        alarm_in(WATCH_TICK_MS, false);
    else
        alarm_in(left > 0 ? left : 1, true);
    errno = saved;
}

struct connect_limit {
    connect_limit()
    {
        int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (probe >= 0)
            close(probe);
        g_watch = {probe, 0, mono_ms(), g_config_mqtt.connect_timeout * 1000LL, false, false,
                   true};
        alarm_in(WATCH_TICK_MS, false);
    }
    ~connect_limit()
    {
        g_watch.on = false;
        itimerval off = {};
        setitimer(ITIMER_REAL, &off, nullptr);
    }
    connect_limit(const connect_limit &) = delete;
    connect_limit &operator=(const connect_limit &) = delete;
};

void lookup_done()
{
    uloop_timeout_set(&g_state_timer, 0);
}

// LOOKUP_READY when the broker's address can be connected to right away.
int broker_lookup()
{
    return lookup_host(g_mqtt_server.BrokerAddress, g_config_mqtt.connect_timeout, lookup_done);
}

// The library refuses a keepalive of 1 to 4 s or past 16 bits, and the
// platform's number would then fail every connect for good: the nearest
// one it takes. 0 (none) stays.
int keepalive(int seconds)
{
    constexpr int least = 5, most = 65535;
    if (seconds == 0)
        return 0;
    return seconds < least ? least : seconds > most ? most : seconds;
}

// Steps 3 to 7 of a connect; false when the client must go.
bool setup_and_connect(int *code)
{
    const char *step = nullptr;
    if (mosquitto_username_pw_set(g_mosq, g_mqtt_server.Username, g_mqtt_server.Password))
        step = "Error: Problem setting username and password.\n";
    else if (mosquitto_tls_set(g_mosq, g_config_mqtt.ca_file[0] ? g_config_mqtt.ca_file
                                                                : DEFAULT_CA_FILE,
                               nullptr, nullptr, nullptr, nullptr))
        step = "Error: Problem setting TLS.\n";
    else if (mosquitto_tls_insecure_set(g_mosq, !g_config_mqtt.verify_host))
        step = "Error: Problem setting TLS insecure option.\n";
    if (step) {
        ovimar_log(OVIMAR_LOG_ERR, "%s", step);
        *code = -1;
        return false;
    }
    // Nagle against delayed ACKs costs ~40 ms a round trip.
    mosquitto_int_option(g_mosq, MOSQ_OPT_TCP_NODELAY, 1);

    mosquitto_log_callback_set(g_mosq, on_log);
    mosquitto_connect_callback_set(g_mosq, on_connect);
    mosquitto_message_callback_set(g_mosq, on_message);
    mosquitto_subscribe_callback_set(g_mosq, on_subscribe);
    mosquitto_publish_callback_set(g_mosq, on_publish);
    mosquitto_disconnect_callback_set(g_mosq, on_disconnect);

    int rc;
    {
        connect_limit limit;
        rc = mosquitto_connect(g_mosq, g_mqtt_server.BrokerAddress, g_mqtt_server.BrokerPort,
                               keepalive(g_mqtt_server.KeepAliveTime));
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to mosquitto_connect:%d\n", rc);
        *code = rc;
        return false;
    }
    if (fd_register() < 0) {
        mosquitto_disconnect(g_mosq);
        *code = -1;
        return false;
    }
    g_live = true;
    return true;
}

// The identity as the library takes it: without one (the board has none,
// or the library refuses it) the broker assigns the id, which a clean
// session allows; retrying the refused one would fail for good.
const char *client_id()
{
    static bool warned;
    bool usable = g_client_id[0] &&
                  mosquitto_validate_utf8(g_client_id, static_cast<int>(strlen(g_client_id))) ==
                      MOSQ_ERR_SUCCESS;
    if (usable)
        return g_client_id;
    if (!warned)
        ovimar_log(OVIMAR_LOG_WARNING,
                   "device has no usable identity: the broker assigns the client id\n");
    warned = true;
    return nullptr;
}

} // namespace

int mqtt_connect()
{
    g_reaper.cb = reaper_cb;
    if (g_mosq)
        mqtt_teardown();
    reap();

    int found = broker_lookup();
    if (found == LOOKUP_PENDING)
        return MQTT_PENDING;
    if (found == LOOKUP_FAILED)
        return -1;
    mosquitto_lib_init();
    g_mosq = mosquitto_new(client_id(), true, nullptr);
    if (!g_mosq) {
        ovimar_log(OVIMAR_LOG_ERR, "Error: Out of memory.\n");
        mosquitto_lib_cleanup();
        return -1;
    }
    int code = 0;
    if (!setup_and_connect(&code)) {
        fd_drop();
        mosquitto_destroy(g_mosq);
        g_mosq = nullptr;
        mosquitto_lib_cleanup();
        return code;
    }
    agent_state_set(OVIMAR_MQTT_CONNECTING);
    return 0;
}

int mqtt_reconnect()
{
    if (!g_mosq)
        return -1;
    int found = broker_lookup();
    if (found == LOOKUP_PENDING)
        return MQTT_PENDING;
    if (found == LOOKUP_FAILED)
        return -1;
    fd_drop();
    int rc;
    {
        in_library guard;
        connect_limit limit;
        rc = mosquitto_reconnect(g_mosq);
    }
    if (rc != MOSQ_ERR_SUCCESS || !g_mosq)
        return rc;
    // Only TCP stands yet: the session counts once the subscription is
    // acknowledged, as after a first connect, within the same limit.
    ovimar_log(OVIMAR_LOG_INFO,
               "mqtt broker reconnect started! change state_machines to OVIMAR_MQTT_CONNECTING\n");
    agent_state_set(OVIMAR_MQTT_CONNECTING);
    g_live = fd_register() == 0;
    return rc;
}

void mqtt_loop_misc()
{
    if (!g_mosq)
        return;
    int rc;
    {
        in_library guard;
        rc = mosquitto_loop_misc(g_mosq);
    }
    fd_sync();
    if (rc != MOSQ_ERR_SUCCESS)
        connection_lost();
    mqtt_update_write_interest();
}

int mqtt_teardown()
{
    g_live = false;
    fd_drop();
    if (!g_mosq)
        return 0;
    struct mosquitto *m = g_mosq;
    g_mosq = nullptr;
    if (g_depth == 0) {
        destroy(m);
        return 0;
    }
    // Inside a callback the library still uses the client after we return.
    g_doomed = m;
    g_reaper.cb = reaper_cb;
    uloop_timeout_set(&g_reaper, 0);
    return 0;
}

int mqtt_publish_msg(int *mid, int len, const char *payload)
{
    if (!payload) {
        ovimar_log(OVIMAR_LOG_ERR, "invalid payload\n");
        return -1;
    }
    int rc;
    {
        in_library guard;
        rc = mosquitto_publish(g_mosq, mid, g_mqtt_server.uuid, len, payload,
                               g_config_mqtt.default_qos, g_config_mqtt.default_retain);
    }
    fd_sync();
    mqtt_update_write_interest();
    return rc;
}

void mqtt_fd_handler(struct uloop_fd *fd, unsigned int events)
{
    struct mosquitto *m = g_mosq;
    if (!m)
        return;
    int rc = 0;
    {
        in_library guard;
        // A hang-up may come without a read event; the read step sees it.
        if ((events & ULOOP_READ) || fd->error || fd->eof)
            rc = mosquitto_loop_read(m, PACKETS_PER_STEP);
        else if (events & ULOOP_WRITE)
            rc = mosquitto_loop_write(m, PACKETS_PER_STEP);
    }
    // A handler inside ended the session: nothing of it is left to tend.
    if (g_mosq != m)
        return;
    fd_sync();
    mqtt_update_write_interest();
    if (rc != MOSQ_ERR_SUCCESS || g_fd.fd == -1)
        connection_lost();
}

void mqtt_update_write_interest()
{
    if (!g_mosq || g_fd.fd < 0)
        return;
    bool want = wants_write(g_mosq);
    if (want && g_write_interest != 0) {
        uloop_fd_add(&g_fd, ULOOP_READ | ULOOP_WRITE);
        g_write_interest = 0;
    } else if (!want && g_write_interest != 1) {
        uloop_fd_add(&g_fd, ULOOP_READ);
        g_write_interest = 1;
    }
}

void mqtt_set_hook(int kind, void *fn)
{
    if (kind == MQTT_HOOK_MESSAGE)
        g_message_hook = reinterpret_cast<mqtt_message_hook>(fn);
    else if (kind == MQTT_HOOK_SUBSCRIBE)
        g_subscribe_hook = reinterpret_cast<mqtt_subscribe_hook>(fn);
}

void mqtt_subscribed(int granted_qos)
{
    if (granted_qos == SUBACK_FAILURE)
        return;
    agent_state_set(OVIMAR_MQTT_CONNECTED);
    state_session_up();
}

int mqtt_registered_fd()
{
    return g_fd.registered ? g_fd.fd : -1;
}

bool mqtt_has_client()
{
    return g_mosq || g_doomed;
}

int mqtt_keepalive()
{
    return keepalive(g_mqtt_server.KeepAliveTime);
}
