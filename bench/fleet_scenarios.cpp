// The fleet's scenarios, in the order they run: each leaves the fleet
// settled (or says it did not) for the next.
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
    bool settled = wanted(o, "broker") || wanted(o, "rotate") || wanted(o, "move");
    if (wanted(o, "cold") || settled)
        cold_start(f);
    if (wanted(o, "broker"))
        broker_outage(f, o.broker_outage_s);
    if (wanted(o, "rotate"))
        rotate(f);
    if (wanted(o, "move"))
        move(f);
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
