#include "retry.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/random.h>
#include <unistd.h>

#include "config.h"

struct config_retry g_config_retry = RETRY_DEFAULTS;

namespace {

// A one-off failure recovers within 10 s; a fleet that failed together
// spreads over 9 s, about a ninth of it in any second.
constexpr int64_t FIRST_MS = 1000;
constexpr int64_t FIRST_LAST_MS = 10000;

int64_t pick(int64_t lo, int64_t hi, int (*rnd)())
{
    return hi > lo ? lo + static_cast<int64_t>(static_cast<uint64_t>(static_cast<unsigned>(rnd())) %
                                                static_cast<uint64_t>(hi - lo))
                   : lo;
}

struct retry_option {
    const char *name;
    int config_retry::*field;
};

constexpr retry_option OPTIONS[] = {
    {"min_wait", &config_retry::min_wait},
    {"multiplier", &config_retry::multiplier},
    {"max_wait", &config_retry::max_wait},
    {"broker_limit", &config_retry::broker_limit},
};

} // namespace

void retry_config_load()
{
    auto &r = g_config_retry;
    for (const auto &o : OPTIONS)
        r.*o.field = uci_get_bounded("retry", o.name, RETRY_LEAST.*o.field, RETRY_MOST.*o.field,
                                     RETRY_DEFAULTS.*o.field);
}

void retry_seed(const char *identity)
{
    unsigned seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed)
        seed = static_cast<unsigned>(time(nullptr));
    // Early in boot the kernel may have little to give; the identity
    // still tells one device from the next.
    for (const char *p = identity; p && *p; p++)
        seed = seed * 31 + static_cast<unsigned char>(*p);
    srand(seed ^ static_cast<unsigned>(getpid()));
}

int64_t retry_delay_ms(int failures, int (*rnd)())
{
    const auto &r = g_config_retry;
    const int64_t cap = static_cast<int64_t>(r.max_wait) * 1000;
    int64_t lo = FIRST_MS, hi = FIRST_LAST_MS;
    if (failures > 1) {
        lo = static_cast<int64_t>(r.min_wait) * 1000;
        for (int n = 2; n < failures && lo < cap; n++)
            lo = lo * r.multiplier / 1000;
        hi = lo * r.multiplier / 1000;
    }
    if (hi > cap)
        hi = cap;
    // No growth, or capped: still spread over a factor of two.
    if (lo > hi / 2)
        lo = hi / 2;
    return pick(lo, hi + 1, rnd);
}

int64_t retry_give_up_ms(int (*rnd)())
{
    int64_t limit = static_cast<int64_t>(g_config_retry.broker_limit) * 1000;
    return pick(limit - limit / 4, limit + limit / 4 + 1, rnd);
}
