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

// Where tries go: logins alone, the platform (logins and broker
// requests) or the broker (connects).
enum class fleet_target { logins, platform, broker };

struct fleet_window {
    double from, to;
    fleet_target target;
    bool first_left_out; // where agents start: their first tries are no retries
};

struct fleet_tally {
    int most;     // tries of the device that tried most
    double share; // of the fleet in the busiest second
};

// The window's tries (fleet_tries) per device and the busiest second of
// them, an agent counted once in it, as the rows "what per device" and
// "what: most agents within one second".
fleet_tally fleet_print_tries(const fleet &f, const fleet_window &w, const std::string &what);
// The goal of no second with more than a third of the fleet in it.
void fleet_goal_third(const std::string &what, const fleet_tally &t);
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
