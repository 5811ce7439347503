#include "fleet_report.h"

#include <algorithm>
#include <cstdio>

namespace {

struct goal {
    std::string what;
    bool met;
};
std::vector<goal> g_goals;

const char *verdict(bool met)
{
    return met ? "met" : "NOT met";
}

std::string fmt(const char *format, double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string mosquitto_version()
{
    auto r = testsupport::run({"mosquitto", "-h"});
    std::string first = r.out.substr(0, r.out.find('\n'));
    return first.empty() ? "mosquitto" : first;
}

bool aimed_at(const fleet_event &e, fleet_target target)
{
    switch (target) {
    case fleet_target::logins:
        return e.kind == fleet_ev::login;
    case fleet_target::platform:
        return e.kind == fleet_ev::login || e.kind == fleet_ev::broker_request;
    case fleet_target::broker:
        return e.kind == fleet_ev::connect;
    }
    return false;
}

} // namespace

void fleet_print_header(const fleet &f, int outage_broker_s, int outage_platform_s)
{
    printf("ovimar-agent fleet benchmark: %zu agents, each with its own bus daemon, carrier\n",
           f.members.size());
    printf("  service, UCI and identity; one platform_sim (HTTPS) and %s\n",
           mosquitto_version().c_str());
    printf("  (TLS, password) on loopback. Agent %s (%s build), -m 1 -l 6,\n",
           f.paths.agent.c_str(), BENCH_BUILD_TYPE);
    printf("  configured as shipped (%s): retry and mqtt.connect_timeout at their defaults.\n",
           f.paths.defaults.c_str());
    printf("  Outages: broker %d s, platform %d s. Times come from lines as they arrive on a\n",
           outage_broker_s, outage_platform_s);
    printf("  machine shared with other work: noisy, take them as rough.\n");
}

void fleet_print_title(const std::string &title)
{
    printf("\n%s\n", title.c_str());
}

void fleet_row(const std::string &label, const std::string &value)
{
    printf("  %-58s %s\n", label.c_str(), value.c_str());
}

std::string fleet_seconds(double s)
{
    return s < 0 ? std::string("not reached") : fmt("%.1f s", s);
}

void fleet_goal(const std::string &what, bool met)
{
    g_goals.push_back({what, met});
    printf("    goal: %s: %s\n", what.c_str(), verdict(met));
}

void fleet_print_goals()
{
    printf("\nGoals\n");
    for (const goal &g : g_goals)
        printf("  %-84s %s\n", g.what.c_str(), verdict(g.met));
}

fleet_tally fleet_print_tries(const fleet &f, const fleet_window &w, const std::string &what)
{
    std::vector<fleet_try> tries;
    int least = -1, most = 0, total = 0;
    for (const auto &m : f.members) {
        int mine = 0;
        for (const fleet_event &e : fleet_tries(m->events)) {
            if (e.t < w.from || e.t >= w.to || !aimed_at(e, w.target))
                continue;
            if (mine++ || !w.first_left_out)
                tries.push_back({e.t, m->index});
        }
        least = least < 0 ? mine : std::min(least, mine);
        most = std::max(most, mine);
        total += mine;
    }
    size_t n = f.members.size();
    char line[96];
    snprintf(line, sizeof line, "mean %.1f, least %d, most %d", n ? double(total) / n : 0.0,
             least, most);
    if (!w.first_left_out)
        fleet_row(what + " per device", line);
    fleet_bunch b = fleet_busiest_second(tries);
    double share = n ? double(b.agents) / n : 0;
    snprintf(line, sizeof line, "%d agents, %.0f%% of the fleet, %.1f s in", b.agents,
             share * 100, b.agents ? b.from - w.from : 0.0);
    fleet_row(what + (w.first_left_out ? " (first left out)" : "") + ": most in one second",
              line);
    return {most, share};
}

void fleet_goal_third(const std::string &what, const fleet_tally &t)
{
    fleet_goal(what + ": no second with over a third of the fleet", t.share <= 1.0 / 3);
}

void fleet_print_broker_peak(fleet &f, long since)
{
    std::string log = fleet_broker(f).log();
    broker_second c = broker_busiest_second(log, "New connection from", since);
    broker_second s = broker_busiest_second(log, "New client connected from", since);
    fleet_row("broker: most new connections in one second",
              std::to_string(c.count) + " (sessions: " + std::to_string(s.count) + ")");
}

void fleet_check_sessions(fleet &f, const std::string &scenario)
{
    fleet_pump(f, 1); // a session the agent just lost is seen as lost
    int in8 = fleet_in_state(f, STATE_FINISHED);
    int sessions = fleet_broker_sessions(f);
    fleet_row("agents in state 8 / agent sessions at the broker",
              std::to_string(in8) + " / " + std::to_string(sessions));
    fleet_goal(scenario + ": every agent in state 8 has a session", in8 == sessions);
}

void fleet_check_uci(const fleet &f, const std::string &text, const std::string &what)
{
    size_t n = f.members.size();
    int holding = 0, asked = 0;
    for (size_t i : {size_t(0), n / 2, n - 1}) {
        asked++;
        if (fleet_agent_config(f, i).find(text) != std::string::npos)
            holding++;
        if (n == 1)
            break;
    }
    fleet_row("UCI ovimar of agents 0, n/2, n-1 holds " + what,
              std::to_string(holding) + " of " + std::to_string(asked));
}

fleet_cpu_mark fleet_cpu_now(const fleet &f, bool fresh)
{
    fleet_cpu_mark mark;
    for (const auto &m : f.members) {
        proc_sample s = fresh ? proc_sample{true, 0, 0, 0, 0, 0, 0} : proc_read(m->agent.pid());
        mark.at.push_back(s);
    }
    return mark;
}

void fleet_print_cpu(const fleet &f, const fleet_cpu_mark &mark, double seconds)
{
    double sum = 0, most = 0, first = -1;
    int counted = 0;
    for (size_t i = 0; i < f.members.size(); i++) {
        proc_sample now = proc_read(f.members[i]->agent.pid());
        if (!now.ok || !mark.at[i].ok)
            continue;
        double ms = now.cpu_ms - mark.at[i].cpu_ms;
        if (i == 0)
            first = ms;
        sum += ms;
        most = std::max(most, ms);
        counted++;
    }
    char line[128];
    snprintf(line, sizeof line, "%.0f ms (fleet: mean %.0f, most %.0f) in %.0f s", first,
             counted ? sum / counted : 0.0, most, seconds);
    fleet_row("CPU of agent 0, utime + stime", line);
}

void fleet_print_memory(const fleet &f)
{
    long sum = 0;
    int counted = 0;
    for (const auto &m : f.members) {
        proc_sample s = proc_read(m->agent.pid());
        if (s.ok && s.private_kb >= 0) {
            sum += s.private_kb;
            counted++;
        }
    }
    proc_sample a = proc_read(f.members.at(0)->agent.pid());
    char line[160];
    snprintf(line, sizeof line, "%ld KiB private, %ld VmRSS, %ld RssAnon (fleet mean private %ld)",
             a.private_kb, a.rss_kb, a.anon_kb, counted ? sum / counted : -1L);
    fleet_row("memory of agent 0", line);
}
