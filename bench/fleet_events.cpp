#include "fleet_events.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>

namespace {

constexpr const char *TAGS[] = {"change state machines to:", "attempt failed ", "https_path ",
                                "broker out of reach "};
constexpr int NTAGS = sizeof(TAGS) / sizeof(TAGS[0]);

long number_after(const std::string &line, size_t from, const char *tag)
{
    size_t at = line.find(tag, from);
    return at == std::string::npos ? 0 : strtol(line.c_str() + at + strlen(tag), nullptr, 10);
}

// The request's kind by its URL; false for a path that is neither.
bool request_kind(const std::string &line, size_t url, fleet_ev *kind)
{
    std::string u = line.substr(url, line.find(' ', url) - url);
    if (u.find("devAuth") != std::string::npos)
        *kind = fleet_ev::login;
    else if (u.find("devGetMqttServer") != std::string::npos)
        *kind = fleet_ev::broker_request;
    else
        return false;
    return true;
}

} // namespace

void fleet_parse_line(const std::string &line, double t, std::vector<fleet_event> *out)
{
    for (size_t pos = 0;;) {
        size_t at = std::string::npos;
        int which = -1;
        for (int i = 0; i < NTAGS; i++) {
            size_t f = line.find(TAGS[i], pos);
            if (f < at) {
                at = f;
                which = i;
            }
        }
        if (which < 0)
            return;
        pos = at + strlen(TAGS[which]);
        fleet_event e = {t, fleet_ev::state};
        if (which == 0) {
            e.to = atoi(line.c_str() + pos);
            e.from = static_cast<int>(number_after(line, pos, "from:"));
        } else if (which == 1) {
            e.kind = fleet_ev::failure;
            e.failures = atoi(line.c_str() + pos);
            e.delay_ms = number_after(line, pos, "next in ");
        } else if (which == 3) {
            e.kind = fleet_ev::gave_up;
        } else if (!request_kind(line, pos, &e.kind)) {
            continue;
        }
        out->push_back(e);
    }
}

std::vector<fleet_event> fleet_tries(const std::vector<fleet_event> &events)
{
    std::vector<fleet_event> out;
    // The agent counts a lost session or a refusal as a failure when it
    // sees it: the first failure after such a change.
    bool setback = false;
    // The next failure ends what the event before it began.
    bool explained = false;
    // The first give-up since a session stood (for 60 s) is no setback.
    bool gave_up = false, free_login = false;
    double up = -1; // when the last session was granted
    for (const fleet_event &e : events) {
        fleet_event c = e;
        c.kind = fleet_ev::connect;
        switch (e.kind) {
        case fleet_ev::login:
        case fleet_ev::broker_request:
            out.push_back(e);
            explained = true;
            break;
        case fleet_ev::gave_up:
            free_login = !gave_up;
            gave_up = true;
            break;
        case fleet_ev::state:
            if (e.to == 5)
                up = e.t;
            if (e.from >= 5 && e.to < 5 && up >= 0 && e.t - up >= 60)
                gave_up = false;
            if ((e.to == 4 && e.from >= 5) ||
                (e.to == 0 && e.from >= 2 && e.from <= 4 && !free_login))
                setback = true;
            free_login = false;
            // A broker request given up, a connect that timed out.
            explained = (e.to == 0 && e.from == 1) || (e.to == 2 && e.from == 3);
            if (e.to == STATE_CONNECTING)
                out.push_back(c);
            break;
        case fleet_ev::failure:
            if (!setback && !explained)
                out.push_back(c);
            setback = explained = false;
            break;
        case fleet_ev::connect:
            break;
        }
    }
    return out;
}

fleet_bunch fleet_busiest_second(std::vector<fleet_try> tries)
{
    std::stable_sort(tries.begin(), tries.end(),
                     [](const fleet_try &a, const fleet_try &b) { return a.t < b.t; });
    std::map<int, int> inside; // agent: its tries in the window
    fleet_bunch best = {0, 0};
    size_t lo = 0;
    for (size_t hi = 0; hi < tries.size(); hi++) {
        inside[tries[hi].agent]++;
        for (; tries[hi].t - tries[lo].t >= 1.0; lo++)
            if (--inside[tries[lo].agent] == 0)
                inside.erase(tries[lo].agent);
        if (static_cast<int>(inside.size()) > best.agents)
            best = {static_cast<int>(inside.size()), tries[lo].t};
    }
    return best;
}

double fleet_all_in(const std::vector<const std::vector<fleet_event> *> &agents, int state,
                    double since, size_t need)
{
    if (!need)
        need = agents.size();
    struct change {
        double t;
        size_t agent;
        bool in;
    };
    std::vector<change> all;
    for (size_t i = 0; i < agents.size(); i++)
        for (const fleet_event &e : *agents[i])
            if (e.kind == fleet_ev::state && e.t > since)
                all.push_back({e.t, i, e.to == state});
    std::stable_sort(all.begin(), all.end(),
                     [](const change &a, const change &b) { return a.t < b.t; });
    std::vector<bool> in(agents.size(), false);
    size_t count = 0;
    for (const change &c : all) {
        if (in[c.agent] != c.in) {
            in[c.agent] = c.in;
            count = c.in ? count + 1 : count - 1;
        }
        if (count == need)
            return c.t;
    }
    return -1;
}

broker_second broker_busiest_second(const std::string &log, const std::string &what, long since)
{
    std::map<long, int> per_second;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        if (std::string_view(log.data() + at, end - at).find(what) != std::string_view::npos) {
            long s = strtol(log.c_str() + at, nullptr, 10);
            if (s >= since)
                per_second[s]++;
        }
        at = end + 1;
    }
    broker_second best = {0, 0};
    for (const auto &[s, n] : per_second)
        if (n > best.count)
            best = {s, n};
    return best;
}
