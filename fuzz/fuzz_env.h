// What every agent fuzz target sets up once: a private router (the real
// libuci writes /etc/config and /tmp/.uci, so as root in a mount namespace
// of its own) with the ovimar package, and the agent's log formatted in
// full but thrown away.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log.h"
#include "private_router.h"

inline void fuzz_agent_init()
{
    const char *step = "";
    if (testsupport::private_router_enter(&step)) {
        fprintf(stderr, "private router: %s: %s\n", step, strerror(errno));
        abort();
    }
    FILE *f = fopen((std::string(testsupport::ROUTER_CONFDIR) + "/ovimar").c_str(), "w");
    if (!f)
        abort();
    fputs("config mqtt 'mqtt'\n\toption default_qos '1'\n", f);
    fclose(f);
    if (!freopen("/dev/null", "w", stdout))
        abort();
    log_mode_set(OVIMAR_LOG_MODE_STDERR);
    log_level_set(OVIMAR_LOG_DEBUG);
}

// Every fixed field must stay terminated within its size.
template <size_t N> void fuzz_check_field(const char (&field)[N])
{
    size_t n = 0;
    while (n < N && field[n])
        n++;
    if (n == N)
        __builtin_trap();
}
