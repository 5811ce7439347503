// The printed table.
#pragma once

#include <string>

#include "libs.h"
#include "procinfo.h"
#include "stats.h"

struct idle_result {
    int seconds;
    int state;                 // as the agent itself reported it; -1 unknown
    proc_sample agent0, agent1, sub0, sub1;
    proc_sample agent_after_load;
};

struct size_result {
    std::string path;          // empty: not measured
    long long bytes;
};

// One agent's idle figures and the libcurl it had loaded.
struct agent_memory {
    std::string label;
    lib_info curl;
    idle_result idle;
};

void print_header(const std::string &agent, int rounds, int blocks, bool broker_nodelay);
void print_rounds(const series &agent, const series &broker, const series &bus);
void print_idle(const idle_result &r);
void print_size(const size_result &r);
// Both agents' idle memory, each beside the mosquitto_sub of its own run.
void print_memory_by_agent(const agent_memory &a, const agent_memory &b,
                           const std::string &b_path);
// What the agent logged at its default level, by line.
void print_agent_log(bool running, const std::string &log);
