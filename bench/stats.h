// Latency samples of one kind of round trip and what the table prints of them.
#pragma once

#include <cstddef>
#include <vector>

struct series {
    const char *name;
    std::vector<double> us; // one sample per round trip, microseconds
    double busy_s = 0;      // wall time spent in these round trips
    int failed = 0;         // round trips that got no answer in time
};

struct summary {
    size_t n;
    double per_s, p50_us, p99_us, mean_us, max_us;
};

summary summarize(const series &s);
