#include "roundtrip.h"

#include <chrono>

#include "rig.h"

namespace {

constexpr int ANSWER_TIMEOUT_MS = 5000;

using clock_type = std::chrono::steady_clock;

void record(series *s, clock_type::time_point t0, bool ok)
{
    std::chrono::duration<double> d = clock_type::now() - t0;
    s->busy_s += d.count();
    if (ok)
        s->us.push_back(d.count() * 1e6);
    else
        s->failed++;
}

} // namespace

std::string echo_request(long id)
{
    return std::string("{\"method\":\"") + ECHO_METHOD + "\",\"id\":\"" + std::to_string(id) +
           "\",\"cwmpVersion\":\"1.0\"}";
}

void mqtt_rounds(mqtt_peer &client, const std::string &topic, int rounds, long *next_id,
                 series *s)
{
    for (int i = 0; i < rounds; i++) {
        long id = (*next_id)++;
        std::string req = echo_request(id);
        auto t0 = clock_type::now();
        bool ok = mqtt_send(client, topic, req) == 0 &&
                  mqtt_pump(client, ANSWER_TIMEOUT_MS, [&] { return client.seen_id == id; });
        record(s, t0, ok);
    }
}

void bus_rounds(bus_peer &bus, int rounds, long *next_id, series *s)
{
    std::string reply;
    for (int i = 0; i < rounds; i++) {
        std::string req = echo_request((*next_id)++);
        auto t0 = clock_type::now();
        bool ok = bus_call(bus, ECHO_METHOD, req, &reply) == 0 && !reply.empty();
        record(s, t0, ok);
    }
}
