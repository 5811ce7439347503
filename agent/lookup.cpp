#include "lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libubox/uloop.h>
}

#include "log.h"

namespace {

enum class answer { none, running, ready, failed };

struct lookup {
    struct uloop_process proc;
    struct uloop_timeout limit;
    char host[256];
    answer result;
    void (*done)();
};

lookup g_lookup;

bool numeric(const char *host)
{
    unsigned char a[sizeof(in6_addr)];
    return inet_pton(AF_INET, host, a) == 1 || inet_pton(AF_INET6, host, a) == 1;
}

void ended(struct uloop_process *, int status)
{
    uloop_timeout_cancel(&g_lookup.limit);
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    g_lookup.result = ok ? answer::ready : answer::failed;
    if (!ok)
        ovimar_log(OVIMAR_LOG_ERR, "failed to look up broker %s\n", g_lookup.host);
    if (g_lookup.done)
        g_lookup.done();
}

// ended() follows once the loop reaps it. A child already reaped is
// gone, and its number may be another process's by now.
void too_slow(struct uloop_timeout *)
{
    if (g_lookup.result == answer::running && g_lookup.proc.pending && g_lookup.proc.pid > 0)
        kill(g_lookup.proc.pid, SIGKILL);
}

[[noreturn]] void resolve(const char *host)
{
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &res);
    bool found = rc == 0 && res;
    if (res)
        freeaddrinfo(res);
    _exit(found ? 0 : 1);
}

} // namespace

int lookup_host(const char *host, int limit_s, void (*done)())
{
    if (numeric(host))
        return LOOKUP_READY;
    auto &l = g_lookup;
    if (l.result == answer::running)
        return LOOKUP_PENDING;
    if (l.result != answer::none && !strcmp(l.host, host)) {
        answer a = l.result;
        l.result = answer::none;
        return a == answer::ready ? LOOKUP_READY : LOOKUP_FAILED;
    }
    snprintf(l.host, sizeof l.host, "%s", host);
    l.done = done;
    pid_t pid = fork();
    if (pid < 0) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to look up broker %s\n", host);
        return LOOKUP_FAILED;
    }
    if (pid == 0)
        resolve(l.host);
    l.proc = {};
    l.proc.pid = pid;
    l.proc.cb = ended;
    uloop_process_add(&l.proc);
    l.limit.cb = too_slow;
    int64_t ms = static_cast<int64_t>(limit_s) * 1000;
    uloop_timeout_set(&l.limit, static_cast<int>(ms > INT32_MAX ? INT32_MAX : ms));
    l.result = answer::running;
    return LOOKUP_PENDING;
}
