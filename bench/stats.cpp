#include "stats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

// Nearest rank: the smallest sample with at least p of them at or below it.
double rank(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    size_t k = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(k, 1)) - 1];
}

} // namespace

summary summarize(const series &s)
{
    std::vector<double> v = s.us;
    std::sort(v.begin(), v.end());
    summary r = {};
    r.n = v.size();
    if (v.empty())
        return r;
    r.per_s = s.busy_s > 0 ? static_cast<double>(v.size()) / s.busy_s : 0;
    r.p50_us = rank(v, 0.50);
    r.p99_us = rank(v, 0.99);
    r.mean_us = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
    r.max_us = v.back();
    return r;
}
