#include "retry.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/random.h>
#include <unistd.h>

#include "config.h"

struct config_retry g_config_retry = RETRY_DEFAULTS;

namespace {

// A one-off failure recovers at once, as before; spread over three
// seconds so that no second carries more than a third of a fleet.
constexpr int64_t FIRST_MS = 1000;
constexpr int64_t FIRST_SPREAD_MS = 3000;

int positive_or(int v, int fallback)
{
    return v > 0 ? v : fallback;
}

int64_t pick(int64_t lo, int64_t hi, int (*rnd)())
{
    return hi > lo ? lo + static_cast<unsigned>(rnd()) % static_cast<uint64_t>(hi - lo) : lo;
}

} // namespace

void retry_config_load()
{
    auto &r = g_config_retry;
    r.min_wait = positive_or(uci_get_int("ovimar", "retry", "min_wait"), RETRY_DEFAULTS.min_wait);
    r.multiplier =
        positive_or(uci_get_int("ovimar", "retry", "multiplier"), RETRY_DEFAULTS.multiplier);
    if (r.multiplier < 1000)
        r.multiplier = 1000; // waits never shrink
    r.max_wait = positive_or(uci_get_int("ovimar", "retry", "max_wait"), RETRY_DEFAULTS.max_wait);
    r.broker_limit =
        positive_or(uci_get_int("ovimar", "retry", "broker_limit"), RETRY_DEFAULTS.broker_limit);
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
    if (failures <= 1)
        return pick(FIRST_MS, FIRST_MS + FIRST_SPREAD_MS, rnd);
    const auto &r = g_config_retry;
    const int64_t cap = static_cast<int64_t>(r.max_wait) * 1000;
    int64_t lo = static_cast<int64_t>(r.min_wait) * 1000;
    for (int n = 2; n < failures && lo < cap; n++)
        lo = lo * r.multiplier / 1000;
    int64_t hi = lo * r.multiplier / 1000;
    if (hi > cap)
        hi = cap;
    if (lo > hi / 2 && hi == cap)
        lo = hi / 2; // capped, still spread
    return pick(lo, hi + 1, rnd);
}
