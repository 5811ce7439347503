// The fleet benchmark's printed figures and the goals judged beside them.
#pragma once

#include <string>
#include <vector>

#include "fleet_rig.h"
#include "procinfo.h"

void fleet_print_header(const fleet &f, int outage_broker_s, int outage_platform_s);
void fleet_print_title(const std::string &title);
// One figure: label, value, unit.
void fleet_row(const std::string &label, const std::string &value);
std::string fleet_seconds(double s); // "12.3 s", or "not reached" for s < 0
// A goal beside the figures, kept for the summary at the end.
void fleet_goal(const std::string &what, bool met);
void fleet_print_goals();

// Which busiest second the goal of a third of the fleet is judged on:
// where the agents start in the window, their first tries are no retries.
enum class fleet_judge { all, retries, none };

struct fleet_window {
    double from, to;
    bool logins_only; // else every try (fleet_tries)
    fleet_judge judge;
};
// Tries of every agent in the window, per device, and their busiest
// second, also without each device's first try there. Returns the most
// tries of one device.
int fleet_print_tries(const fleet &f, const fleet_window &w, const std::string &what,
                      const std::string &scenario);
// The busiest second at the agents' broker from since (unix time) on.
void fleet_print_broker_peak(fleet &f, long since);
// Agents in state 8 beside the agent sessions at the broker, judged equal.
void fleet_check_sessions(fleet &f, const std::string &scenario);
// How many of agents 0, n/2 and n-1 hold text in their UCI ovimar.
void fleet_check_uci(const fleet &f, const std::string &text, const std::string &what);

// CPU of every agent from a mark on (fresh agents: from their start).
struct fleet_cpu_mark {
    std::vector<proc_sample> at;
};
fleet_cpu_mark fleet_cpu_now(const fleet &f, bool fresh);
void fleet_print_cpu(const fleet &f, const fleet_cpu_mark &mark, double seconds);
void fleet_print_memory(const fleet &f);
