// When to try again after failures. A whole fleet loses its platform or
// broker at once, so retries are randomised per device, grow
// exponentially and are capped, and start over once a session has stood.
#pragma once

#include <cstdint>

// UCI ovimar.retry, each within its bounds (RETRY_LEAST, RETRY_MOST).
struct config_retry {
    int min_wait;        // s: the second retry waits min_wait..min_wait*multiplier
    int multiplier;      // per mille: each later retry waits this much longer
    int max_wait;        // s: no wait is longer
    int broker_limit;    // s: failing to reach the broker about this long means a new login
};

constexpr config_retry RETRY_DEFAULTS = {5, 2000, 600, 120};
// TR-369's longest retry interval bounds every wait.
constexpr int RETRY_WAIT_MOST = 30720;
constexpr config_retry RETRY_LEAST = {1, 1000, 1, 1};
constexpr config_retry RETRY_MOST = {RETRY_WAIT_MOST, 10000, RETRY_WAIT_MOST, 86400};

extern struct config_retry g_config_retry;

void retry_config_load();
// Seeds rand() for this device: its identity and the kernel's randomness.
void retry_seed(const char *identity);
// Milliseconds before the next attempt after this many failures in a row
// (1 or more): the first retry comes after 1 to 10 s, retry n after a time
// between min_wait*k^(n-2) and min_wait*k^(n-1); every window spans at
// least a factor of two and ends at max_wait at the latest.
int64_t retry_delay_ms(int failures, int (*rnd)());
// Milliseconds after which to give up on a broker out of reach: a random
// time within a quarter of broker_limit either side.
int64_t retry_give_up_ms(int (*rnd)());
