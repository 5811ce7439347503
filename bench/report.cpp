#include "report.h"

#include <mosquitto.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr double CPU_GOAL_MS = 50;
constexpr long long SIZE_GOAL = 256 * 1024;

const char *verdict(bool met)
{
    return met ? "met" : "NOT met";
}

void round_row(const char *label, const series &s)
{
    summary m = summarize(s);
    printf("  %-44s %8.0f %9.3f %9.3f %9.3f %9.3f %5d\n", label, m.per_s, m.p50_us / 1000,
           m.p99_us / 1000, m.mean_us / 1000, m.max_us / 1000, s.failed);
}

void idle_row(const char *label, const proc_sample &a, const proc_sample &b)
{
    if (!a.ok || !b.ok) {
        printf("  %-16s (process gone)\n", label);
        return;
    }
    printf("  %-16s %12.0f %14.3f %10ld %10ld %10ld %11ld\n", label, b.cpu_ms - a.cpu_ms,
           b.run_ms - a.run_ms, b.ctx_switches - a.ctx_switches, b.rss_kb, b.anon_kb,
           b.private_kb);
}

// Its own memory (anon) may be a quarter above mosquitto_sub's: the agent
// does HTTPS and the bus besides MQTT.
bool memory_met(long agent, long sub, const idle_result &r, int quarters = 4)
{
    return r.agent1.ok && r.sub1.ok && agent * 4 <= sub * quarters;
}

void memory_rows(const agent_memory &m)
{
    const idle_result &r = m.idle;
    if (!r.agent1.ok || !r.sub1.ok) {
        printf("  %-24s (process gone)\n", m.label.c_str());
        return;
    }
    printf("  %-24s %5d %6d %9ld %8ld %10ld  %7s %7s\n", m.label.c_str(), m.curl.needs,
           m.curl.mapped, r.agent1.rss_kb, r.agent1.anon_kb, r.agent1.private_kb,
           verdict(memory_met(r.agent1.rss_kb, r.sub1.rss_kb, r)),
           verdict(memory_met(r.agent1.anon_kb, r.sub1.anon_kb, r, 5)));
    printf("    %-22s %5s %6s %9ld %8ld %10ld\n", "mosquitto_sub beside it", "", "",
           r.sub1.rss_kb, r.sub1.anon_kb, r.sub1.private_kb);
}

void curl_line(const agent_memory &m)
{
    if (m.curl.path.empty())
        printf("  %s: no libcurl mapped\n", m.label.c_str());
    else
        printf("  %s: %s, %lld bytes\n", m.label.c_str(), m.curl.path.c_str(), m.curl.bytes);
}

} // namespace

void print_header(const std::string &agent, int rounds, int blocks, bool broker_nodelay)
{
    int major = 0, minor = 0, rev = 0;
    mosquitto_lib_version(&major, &minor, &rev);
    printf("ovimar-agent benchmark\n");
    printf("  agent %s (%s build)\n", agent.c_str(), BENCH_BUILD_TYPE);
    printf("  loopback; Debian mosquitto broker, TLS + password; libmosquitto %d.%d.%d;\n",
           major, minor, rev);
    printf("  QoS 1 and TCP_NODELAY on every MQTT client, broker set_tcp_nodelay %s;\n",
           broker_nodelay ? "true" : "false (its default)");
    printf("  %d round trips of each kind,", rounds);
    printf(" one in flight, interleaved in %d blocks\n\n", blocks);
}

void print_rounds(const series &agent, const series &broker, const series &bus)
{
    printf("Round trips                                       rt/s    p50 ms    p99 ms   mean ms"
           "    max ms  lost\n");
    round_row("platform>broker>agent>zorvex>agent>platform", agent);
    round_row("(a) broker only: client>broker>echo>client", broker);
    round_row("(b) bus only: ubus call zorvex benchEcho", bus);
    double floor = summarize(broker).p50_us + summarize(bus).p50_us;
    double p50 = summarize(agent).p50_us;
    printf("  goal: agent p50 %.3f ms < 2 x (a + b) p50 = %.3f ms: %s"
           " (agent's own share %.3f ms)\n\n",
           p50 / 1000, 2 * floor / 1000, verdict(p50 < 2 * floor), (p50 - floor) / 1000);
}

void print_idle(const idle_result &r)
{
    printf("Idle for %d s, agent in state %d%s\n", r.seconds, r.state,
           r.state == 8 ? " (OVIMAR_FINISHED, as the agent reported it)" : " (NOT 8)");
    printf("                   CPU ms (stat)  CPU ms (sched)   wake-ups   VmRSS kB    anon kB"
           "  private kB\n");
    idle_row("ovimar-agent", r.agent0, r.agent1);
    idle_row("mosquitto_sub", r.sub0, r.sub1);
    printf("  (private: Private_Clean + Private_Dirty, which counts library pages that no\n"
           "  other process on the machine maps at the time; anon is the process's own)\n");
    double cpu = r.agent1.cpu_ms - r.agent0.cpu_ms;
    printf("  goal: agent CPU (utime+stime) %.0f ms < %.0f ms: %s\n", cpu, CPU_GOAL_MS,
           verdict(r.agent0.ok && r.agent1.ok && cpu < CPU_GOAL_MS));
    // VmRSS counts every library page mapped, so it shows what the linked
    // libcurl pulls in as much as the agent; anon is the agent's own.
    printf("  goal: agent VmRSS %ld kB <= mosquitto_sub %ld kB: %s (anon %ld <= 1.25 x %ld kB: %s)\n",
           r.agent1.rss_kb, r.sub1.rss_kb, verdict(memory_met(r.agent1.rss_kb, r.sub1.rss_kb, r)),
           r.agent1.anon_kb, r.sub1.anon_kb,
           verdict(memory_met(r.agent1.anon_kb, r.sub1.anon_kb, r, 5)));
    const proc_sample &l = r.agent_after_load;
    if (l.ok)
        printf("  agent after the round trips: VmRSS %ld kB, anon %ld kB (%+ld), private %ld kB\n",
               l.rss_kb, l.anon_kb, l.anon_kb - r.agent1.anon_kb, l.private_kb);
    printf("\n");
}

void print_size(const size_result &r)
{
    if (r.path.empty()) {
        printf("Size: not measured (no --size FILE)\n");
        return;
    }
    if (r.bytes < 0) {
        printf("Size: %s: cannot read\n", r.path.c_str());
        return;
    }
    printf("Size of the stripped release ovimar-agent\n");
    printf("  %s\n  %lld bytes = %.1f KiB\n", r.path.c_str(), r.bytes,
           static_cast<double>(r.bytes) / 1024);
    printf("  goal: < 256 KiB: %s\n", verdict(r.bytes < SIZE_GOAL));
}

void print_memory_by_agent(const agent_memory &a, const agent_memory &b,
                           const std::string &b_path)
{
    printf("\nIdle memory by agent: each alone with its peers, idle %d s, beside a\n"
           "mosquitto_sub of its own run; the second agent is %s\n",
           b.idle.seconds, b_path.c_str());
    if (a.idle.state != 8 || b.idle.state != 8)
        printf("  NOT both in OVIMAR_FINISHED: states %d and %d\n", a.idle.state, b.idle.state);
    const char *row = "  %-24s %5s %6s %9s %8s %10s  %7s %7s\n";
    printf(row, "", "curl", "all", "VmRSS", "anon", "private", "goal:", "goal:");
    printf(row, "", "libs", "libs", "kB", "kB", "kB", "VmRSS", "anon");
    memory_rows(a);
    memory_rows(b);
    curl_line(a);
    curl_line(b);
    printf("  (curl libs: libraries that libcurl loads, all levels, as ldd lists them, libc\n"
           "  included; all libs: shared objects the agent maps; goals: VmRSS no more than\n"
           "  the mosquitto_sub's beside it, anon no more than 1.25 x its)\n");
}

void print_agent_log(bool running, const std::string &log)
{
    std::map<std::string, int> lines;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        lines[log.substr(at, end - at)]++;
        at = end + 1;
    }
    printf("\nAgent %s; its log at the default level (errors), by line:\n",
           running ? "still running" : "GONE");
    for (const auto &l : lines)
        printf("  %7d x %.100s\n", l.second, l.first.c_str());
}
