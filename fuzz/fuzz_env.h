// What every agent fuzz target sets up once: a private UCI world with the
// ovimar package, and the agent's log formatted in full but thrown away.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "log.h"

inline void fuzz_agent_init()
{
    char tmpl[] = "/tmp/ovimar-fuzz.XXXXXX";
    const char *dir = mkdtemp(tmpl);
    if (!dir)
        abort();
    std::string conf = std::string(dir) + "/config", save = std::string(dir) + "/save";
    std::string mk = "mkdir -p '" + conf + "' '" + save + "'";
    if (system(mk.c_str()) != 0)
        abort();
    FILE *f = fopen((conf + "/ovimar").c_str(), "w");
    if (!f)
        abort();
    fputs("config mqtt 'mqtt'\n\toption default_qos '1'\n", f);
    fclose(f);
    setenv("HOST_UCI_CONFDIR", conf.c_str(), 1);
    setenv("HOST_UCI_SAVEDIR", save.c_str(), 1);
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
