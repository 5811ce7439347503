// A fleet on loopback: per agent a private router with its own bus daemon,
// carrier service, UCI and board identity, all against one platform_sim
// (its HTTPS side) and Debian's mosquitto. Each agent's output comes
// through a FIFO of its own and is time-stamped line by line as it
// arrives. Every process is stopped by PID when the fleet goes.
#pragma once

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "broker.h"
#include "fleet_events.h"
#include "proc.h"

struct fleet_paths {
    std::string agent, ubusd, zorvex_sim, platform_sim;
    std::string router_bin; // PATH folders of the router's and board's commands
    std::string defaults;   // the agent's shipped /etc/config/ovimar
    std::string fake_broker; // peers/broker: a front that misbehaves on command
};

struct owned_fd {
    int fd = -1;
    owned_fd() = default;
    owned_fd(const owned_fd &) = delete;
    owned_fd &operator=(const owned_fd &) = delete;
    ~owned_fd() { reset(); }
    void reset(int to = -1);
};

struct fleet_member {
    int index = 0;
    owned_fd out; // read end of the agent's output FIFO; closed after the agent stops
    testsupport::Child bus, zorvex, agent; // stopped in reverse
    std::string sock, fifo, nvfile;
    std::string partial; // output not ended by a line feed yet
    std::string log;     // everything the agent wrote
    std::vector<fleet_event> events;
    int state = -1;      // as last logged; 0 when started
    double changed = 0;  // when state was last logged
};

struct fleet {
    fleet_paths paths;
    testsupport::TempDir dir;
    testsupport::TestCerts certs;
    // The agents' broker is the last; a moved one stays, stopped.
    std::vector<std::unique_ptr<testsupport::Broker>> brokers;
    std::string password = testsupport::Broker::PASSWORD;
    int https_port = 0;
    testsupport::Child platform;
    std::vector<std::unique_ptr<fleet_member>> members;
};

// Set by SIGINT or SIGTERM: the next pump throws, and the stack unwinds
// through every Child.
extern volatile sig_atomic_t g_fleet_interrupted;

double fleet_now(); // s, monotonic
testsupport::Broker &fleet_broker(fleet &f);
// A broker as the agents' broker is set up, not started.
std::unique_ptr<testsupport::Broker> fleet_new_broker(const fleet &f);

// The broker, and n members' buses and carrier services.
void fleet_start(fleet &f, int n);
// platform_sim on f.https_port (a free one first), naming the agents' broker.
void fleet_platform_start(fleet &f);
void fleet_platform_stop(fleet &f);
// A "broker H:P" or "password P" line, once the platform has taken it.
void fleet_platform_command(fleet &f, const std::string &line);
// Fresh agents: the shipped configuration, bound, pointed at this platform.
void fleet_agents_start(fleet &f);
void fleet_agents_stop(fleet &f);
// The board identity (ZVEI, the MQTT client id) the member's next agent reads.
void fleet_set_identity(const fleet &f, const fleet_member &m, const std::string &id);
// Member i's own identity.
std::string fleet_identity(int i);

// Reads every agent's output until done() holds (checked between reads)
// or seconds pass; false on the latter.
bool fleet_pump(fleet &f, double seconds, const std::function<bool()> &done = nullptr);
int fleet_in_state(const fleet &f, int state);
std::vector<const std::vector<fleet_event> *> fleet_event_lists(const fleet &f);
// Agent sessions at the agents' broker ($SYS/broker/clients/connected),
// the asking client not counted; -1 when it did not answer.
int fleet_broker_sessions(fleet &f);
// A member's /etc/config/ovimar as the agent left it.
std::string fleet_agent_config(const fleet &f, size_t i);
