// The fleet's scenarios, in the order they run. Each starts from a fleet
// in step, as after a cold start, not one an earlier scenario has spread.
#include "fleet_scenarios.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "fleet_report.h"

namespace {

constexpr double SETTLE_LIMIT_S = 1200; // past max_wait twice over
constexpr double RECOVERY_GOAL_S = 300;
constexpr int LOGIN_GOAL = 10;
constexpr const char *NEW_PASSWORD = "pw-rotated-0vimar";

void note(const char *what)
{
    fprintf(stderr, "fleet: %s\n", what);
}

bool all_back(const fleet &f, double since)
{
    for (const auto &m : f.members)
        if (m->state != STATE_FINISHED || m->changed <= since)
            return false;
    return true;
}

// Until every agent has been back in state 8 since `since`; the seconds
// from `from`, -1 when that never came.
double await_settled(fleet &f, double since, double from, const std::string &label)
{
    bool ok = fleet_pump(f, SETTLE_LIMIT_S, [&] { return all_back(f, since); });
    auto lists = fleet_event_lists(f);
    double at = fleet_all_in(lists, STATE_FINISHED, since);
    double s = ok && at >= 0 ? at - from : -1;
    double half = fleet_all_in(lists, STATE_FINISHED, since, (lists.size() + 1) / 2);
    fleet_row(label, fleet_seconds(s));
    fleet_row("  half of them by", fleet_seconds(half < 0 ? -1 : half - from));
    if (s < 0)
        fleet_row("  in state 8 when given up", std::to_string(fleet_in_state(f, 8)) + " of " +
                                                   std::to_string(f.members.size()));
    return s;
}

// Where the fleet goes while it recovers, each judged.
void judge_recovery_tries(const fleet &f, double since, const std::string &scenario)
{
    double now = fleet_now();
    fleet_goal_third(scenario + ", platform requests",
                     fleet_print_tries(f, {since, now, fleet_target::platform, false},
                                       "platform requests until then"));
    fleet_goal_third(scenario + ", connects",
                     fleet_print_tries(f, {since, now, fleet_target::broker, false},
                                       "connects until then"));
}

void cold_start(fleet &f)
{
    fleet_print_title("Cold start: platform and broker up, bound agents started at once");
    note("cold start");
    long unix0 = time(nullptr);
    double t0 = fleet_now();
    fleet_agents_start(f);
    fleet_cpu_mark cpu = fleet_cpu_now(f, true);
    fleet_row("all agents launched in", fleet_seconds(fleet_now() - t0));
    await_settled(f, t0, t0, "all in state 8 after (from the first launch)");
    double now = fleet_now();
    fleet_print_tries(f, {t0, now, fleet_target::platform, false}, "platform requests");
    fleet_print_tries(f, {t0, now, fleet_target::broker, false}, "connects");
    fleet_print_broker_peak(f, unix0);
    fleet_check_sessions(f, "cold start");
    fleet_print_cpu(f, cpu, fleet_now() - t0);
}

// Every agent started anew at once, and settled: a fleet in step.
void in_step(fleet &f)
{
    note("fleet in step: every agent started anew at once");
    fleet_agents_stop(f);
    double t0 = fleet_now();
    fleet_agents_start(f);
    if (!fleet_pump(f, SETTLE_LIMIT_S, [&] { return all_back(f, t0); }))
        throw std::runtime_error("the fleet did not settle after a cold start");
    fleet_row("from a cold start, all in state 8 after", fleet_seconds(fleet_now() - t0));
}

void broker_outage(fleet &f, int outage_s)
{
    fleet_print_title("Broker outage of " + std::to_string(outage_s) + " s, then back");
    note("broker down");
    fleet_cpu_mark cpu = fleet_cpu_now(f, false);
    double t0 = fleet_now();
    fleet_broker(f).stop();
    fleet_pump(f, outage_s);
    double back = fleet_now();
    long unix_back = time(nullptr);
    if (!fleet_broker(f).start())
        throw std::runtime_error("mosquitto did not start again");
    note("broker back");
    await_settled(f, t0, back, "all back in state 8 after the broker's return");
    fleet_goal_third("broker outage, connects",
                     fleet_print_tries(f, {t0, back, fleet_target::broker, false},
                                       "connects during the outage"));
    fleet_print_tries(f, {t0, back, fleet_target::platform, false},
                      "platform requests during the outage");
    fleet_print_broker_peak(f, unix_back);
    fleet_check_sessions(f, "broker outage");
    fleet_print_cpu(f, cpu, fleet_now() - t0);
}

void rotate(fleet &f)
{
    fleet_print_title("Credentials rotated: the broker restarted with a new password, "
                      "the platform told");
    note("rotating the broker's password");
    fleet_cpu_mark cpu = fleet_cpu_now(f, false);
    fleet_platform_command(f, std::string("password ") + NEW_PASSWORD);
    f.password = NEW_PASSWORD;
    fleet_broker(f).set_password(NEW_PASSWORD);
    double t0 = fleet_now();
    long unix0 = time(nullptr);
    fleet_broker(f).stop();
    if (!fleet_broker(f).start())
        throw std::runtime_error("mosquitto did not start again");
    double s = await_settled(f, t0, t0, "all in state 8 again after");
    fleet_goal("recovery after a rotation within 5 minutes", s >= 0 && s <= RECOVERY_GOAL_S);
    judge_recovery_tries(f, t0, "rotation");
    fleet_check_uci(f, std::string("option Password '") + NEW_PASSWORD + "'", "the new password");
    fleet_print_broker_peak(f, unix0);
    fleet_check_sessions(f, "rotation");
    fleet_print_cpu(f, cpu, fleet_now() - t0);
}

void move(fleet &f)
{
    fleet_print_title("Broker moved: a second broker, the platform told, the first stopped");
    note("moving the broker");
    fleet_cpu_mark cpu = fleet_cpu_now(f, false);
    auto second = fleet_new_broker(f);
    if (!second->start())
        throw std::runtime_error("the second mosquitto did not start");
    std::string port = std::to_string(second->port());
    fleet_platform_command(f, "broker 127.0.0.1:" + port);
    f.brokers.push_back(std::move(second));
    double t0 = fleet_now();
    long unix0 = time(nullptr);
    f.brokers[f.brokers.size() - 2]->stop();
    double s = await_settled(f, t0, t0, "all in state 8 on the new broker after");
    fleet_goal("recovery after a move within 5 minutes", s >= 0 && s <= RECOVERY_GOAL_S);
    judge_recovery_tries(f, t0, "move");
    fleet_check_uci(f, "option BrokerPort '" + port + "'", "the new port");
    fleet_print_broker_peak(f, unix0);
    fleet_check_sessions(f, "move");
    fleet_print_cpu(f, cpu, fleet_now() - t0);
}

// Connects per device against the goal, and the busiest second. Agents
// started in the window: their start (first connect, first login and
// broker request) is a cold start, not judged.
void judge_connects(const fleet &f, double from, double to, const std::string &scenario,
                    bool started)
{
    fleet_tally c =
        fleet_print_tries(f, {from, to, fleet_target::broker, false}, "connects until then");
    fleet_goal(scenario + ": at most " + std::to_string(LOGIN_GOAL) + " connects per device",
               c.most <= LOGIN_GOAL);
    if (started)
        c = fleet_print_tries(f, {from, to, fleet_target::broker, true}, "connects");
    fleet_goal_third(scenario + ", connects", c);
    fleet_tally p = fleet_print_tries(f, {from, to, fleet_target::platform, false},
                                      "platform requests until then");
    if (!started)
        fleet_goal_third(scenario + ", platform requests", p);
}

// A front on the broker's port grants every subscription and then cuts the
// session: load shed, an ACL, a broker restarting in a loop.
void flap(fleet &f, int flap_s)
{
    fleet_print_title("Sessions cut for " + std::to_string(flap_s) +
                      " s: a front on the broker's port grants the subscription, then cuts");
    note("broker front cutting every session");
    fleet_cpu_mark cpu = fleet_cpu_now(f, false);
    testsupport::Broker &b = fleet_broker(f);
    double t0 = fleet_now();
    b.stop();
    testsupport::Child front({f.paths.fake_broker, "-m", "cut", "-p", std::to_string(b.port()),
                              "-c", f.certs.cert, "-k", f.certs.key},
                             f.dir.file("front.log"));
    fleet_pump(f, flap_s);
    double back = fleet_now();
    long unix_back = time(nullptr);
    size_t cuts = 0;
    std::string flog = testsupport::read_file(f.dir.file("front.log"));
    for (size_t at = flog.find("cut\n"); at != std::string::npos; at = flog.find("cut\n", at + 1))
        cuts++;
    front.stop();
    if (!b.start())
        throw std::runtime_error("mosquitto did not start again");
    note("broker back");
    fleet_row("sessions the front granted and cut", std::to_string(cuts));
    await_settled(f, t0, back, "all back in state 8 after the broker's return");
    judge_connects(f, t0, back, "sessions cut", false);
    fleet_print_broker_peak(f, unix_back);
    fleet_check_sessions(f, "sessions cut");
    fleet_print_cpu(f, cpu, fleet_now() - t0);
}

// Losses per agent from `from` on: the sessions a twin took over.
std::vector<int> losses(const fleet &f, double from, double to)
{
    std::vector<int> out;
    for (const auto &m : f.members) {
        int n = 0;
        for (const fleet_event &e : m->events)
            n += e.kind == fleet_ev::state && e.t >= from && e.t < to && e.to == 4 && e.from >= 5;
        out.push_back(n);
    }
    return out;
}

// Pairs of agents with one identity (cloned board data), in step: each
// takes the other's session over at the broker.
void twins(fleet &f, int twins_s)
{
    fleet_print_title("Twins for " + std::to_string(twins_s) +
                      " s: pairs of agents with one identity, started at once");
    note("twins: pairs share an identity");
    size_t n = f.members.size() / 2 * 2;
    for (size_t i = 1; i < n; i += 2)
        fleet_set_identity(f, *f.members[i], fleet_identity(static_cast<int>(i - 1)));
    fleet_agents_stop(f);
    double t0 = fleet_now();
    fleet_agents_start(f);
    fleet_cpu_mark cpu = fleet_cpu_now(f, true);
    fleet_pump(f, twins_s);
    double end = fleet_now();
    judge_connects(f, t0, end, "twins", true);
    // What a pair settles into: takeovers in the last half of the window.
    auto lost = losses(f, t0 + twins_s / 2.0, end);
    int most = 0, sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2) {
        int pair = lost[i] + lost[i + 1];
        sum += pair;
        most = pair > most ? pair : most;
    }
    char line[96];
    snprintf(line, sizeof line, "mean %.1f, most %d", n ? 2.0 * sum / n : 0.0, most);
    fleet_row("sessions taken over per pair in the last " + std::to_string(twins_s / 2) + " s",
              line);
    fleet_pump(f, 1);
    fleet_row("agents in state 8 / agent sessions at the broker at the end",
              std::to_string(fleet_in_state(f, STATE_FINISHED)) + " / " +
                  std::to_string(fleet_broker_sessions(f)) + " (" + std::to_string(n / 2) +
                  " pairs)");
    fleet_print_cpu(f, cpu, end - t0);
    note("twins: each its own identity again");
    for (size_t i = 1; i < n; i += 2)
        fleet_set_identity(f, *f.members[i], fleet_identity(static_cast<int>(i)));
    in_step(f);
    fleet_check_sessions(f, "twins, each its own identity again");
}

void platform_outage(fleet &f, int outage_s)
{
    fleet_print_title("Platform outage of " + std::to_string(outage_s) +
                      " s at start: fresh agents, its HTTPS port closed, then platform_sim on it");
    note("platform down, fresh agents");
    fleet_agents_stop(f);
    fleet_platform_stop(f);
    double t0 = fleet_now();
    fleet_agents_start(f);
    fleet_cpu_mark cpu = fleet_cpu_now(f, true);
    fleet_pump(f, outage_s);
    double back = fleet_now();
    long unix_back = time(nullptr);
    fleet_platform_start(f);
    note("platform back");
    await_settled(f, t0, back, "all in state 8 after the platform's return");
    fleet_tally logins =
        fleet_print_tries(f, {t0, back, fleet_target::logins, false}, "logins during the outage");
    fleet_goal("at most " + std::to_string(LOGIN_GOAL) + " logins per device in a " +
                   std::to_string(outage_s) + " s outage",
               logins.most <= LOGIN_GOAL);
    fleet_goal_third("platform outage, logins after each one's first",
                     fleet_print_tries(f, {t0, back, fleet_target::logins, true},
                                       "logins during the outage"));
    fleet_print_broker_peak(f, unix_back);
    fleet_check_sessions(f, "platform outage");
    fleet_print_cpu(f, cpu, fleet_now() - t0);
}

bool wanted(const fleet_options &o, const char *name)
{
    for (const auto &s : o.scenarios)
        if (s == name)
            return true;
    return false;
}

// What every agent and broker logged, for a figure that looks wrong.
void save_logs(const fleet &f, const std::string &folder)
{
    if (folder.empty())
        return;
    mkdir(folder.c_str(), 0755);
    for (const auto &m : f.members)
        testsupport::write_file(folder + "/agent-" + std::to_string(m->index) + ".log", m->log);
    for (size_t i = 0; i < f.brokers.size(); i++)
        testsupport::write_file(folder + "/broker-" + std::to_string(i) + ".log",
                                f.brokers[i]->log());
    testsupport::write_file(folder + "/platform.log",
                            testsupport::read_file(f.dir.file("platform.log")));
}

void run_scenarios(fleet &f, const fleet_options &o)
{
    note("starting buses and carrier services");
    fleet_start(f, o.n);
    fleet_platform_start(f);
    fleet_print_header(f, o.broker_outage_s, o.platform_outage_s);
    // Each from a fleet in step; the first after the cold start is one.
    bool running = false;
    auto step = [&] {
        if (running)
            in_step(f);
        else
            cold_start(f);
        running = true;
    };
    if (wanted(o, "cold"))
        step();
    if (wanted(o, "broker")) {
        step();
        broker_outage(f, o.broker_outage_s);
    }
    if (wanted(o, "rotate")) {
        step();
        rotate(f);
    }
    if (wanted(o, "move")) {
        step();
        move(f);
    }
    if (wanted(o, "flap")) {
        step();
        flap(f, o.flap_s);
    }
    if (wanted(o, "twins")) {
        running = true; // its own start, in step
        twins(f, o.twins_s);
    }
    if (wanted(o, "platform"))
        platform_outage(f, o.platform_outage_s);
    fleet_print_title("Agent 0 at the end");
    fleet_print_memory(f);
    fleet_print_goals();
}

} // namespace

int fleet_run(const fleet_options &o)
{
    fleet f;
    f.paths = o.paths;
    try {
        run_scenarios(f, o);
    } catch (...) {
        save_logs(f, o.logs);
        throw;
    }
    save_logs(f, o.logs);
    note("stopping every process");
    return 0;
}
