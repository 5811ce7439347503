// ovimar-agent: binds the router to the carrier's cloud platform.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

extern "C" {
#include <libubox/uloop.h>
}

#include "app.h"
#include "cmd.h"
#include "config.h"
#include "dispatch.h"
#include "log.h"
#include "mqtt.h"
#include "retry.h"
#include "state.h"
#include "ubus.h"

namespace {

constexpr const char *LEVEL_NAMES[] = {
    "OVIMAR_LOG_EMERG  ", "OVIMAR_LOG_ALERT  ", "OVIMAR_LOG_CRIT   ", "OVIMAR_LOG_ERR    ",
    "OVIMAR_LOG_WARNING", "OVIMAR_LOG_NOTICE ", "OVIMAR_LOG_INFO   ", "OVIMAR_LOG_DEBUG  ",
};

[[noreturn]] void help()
{
    printf("Options:\n");
    printf("-l <level>:  log level(default: %d)\n", log_level_get());
    for (int i = 0; i < 8; i++)
        printf("             %s  %d\n", LEVEL_NAMES[i], i);
    printf("-m <mode>:   log mode (default:    %d)\n", log_mode_get());
    printf("             OVIMAR_LOG_MODE_SYSLOG %d\n", OVIMAR_LOG_MODE_SYSLOG);
    printf("             OVIMAR_LOG_MODE_STDERR %d\n", OVIMAR_LOG_MODE_STDERR);
    printf("-h <help>:   help\n");
    exit(0);
}

// Returns false when the process must end with -1.
bool parse_options(int argc, char **argv)
{
    int c;
    // "+": stop at the first other word on glibc too, as the router's libc does.
    while ((c = getopt(argc, argv, "+l:m:h")) != -1) {
        switch (c) {
        case 'l': {
            int v = atoi(optarg);
            if (log_level_set(static_cast<unsigned int>(v)) < 0) {
                printf("invalid input levle %d\n", v);
                return false;
            }
            break;
        }
        case 'm': {
            int v = atoi(optarg);
            if (log_mode_set(v) < 0) {
                printf("invalid input mode %d\n", v);
                return false;
            }
            break;
        }
        case 'h':
            help();
        default:
            break; // unknown options do not stop the agent
        }
    }
    return true;
}

void install_hooks()
{
    mqtt_set_hook(MQTT_HOOK_SUBSCRIBE, reinterpret_cast<void *>(mqtt_subscribed));
    mqtt_set_hook(MQTT_HOOK_MESSAGE, reinterpret_cast<void *>(ovimar_parse_response_msg));
    ubus_hook_set(UBUS_HOOK_LOCAL, local_msg_handler);
    ubus_hook_set(UBUS_HOOK_APP, app_msg_handler);
    ubus_event_register("APP_AUTH", UBUS_HOOK_APP);
    ubus_event_register("Notify", UBUS_HOOK_LOCAL);
}

} // namespace

int main(int argc, char **argv)
{
    // Log lines reach a pipe or file as they happen, not at exit.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (!parse_options(argc, argv))
        return -1;
    // Before the first line: musl tags a line logged earlier with nothing.
    log_open();

    // What a parent left behind: SIGCHLD ignored (libubox then never
    // reaps the broker lookup, system() fails), termination ignored, or
    // signals blocked (the connect limit never fires).
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGALRM})
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    struct sigaction sa = {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);

    if (ovimar_ubus_connect() < 0) {
        ovimar_log(OVIMAR_LOG_ERR, "ubus connect failed\n");
        return -1;
    }

    config_load();
    retry_config_load();
    client_id_load();
    retry_seed(g_client_id);
    bind_info_load();
    install_hooks();

    if (state_machine_arm() < 0) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to set state machines timer\n");
        ovimar_ubus_done();
        return -1;
    }

    // The loop's handler notes a SIGTERM during start-up (the identity
    // commands may take their time), but starting the loop clears the note:
    // procd would wait its 35 s and kill the agent.
    if (!uloop_cancelled)
        uloop_run_timeout(-1);
    ovimar_ubus_done();
    return 0;
}
