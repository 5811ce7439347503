// Everything the agent meets, on loopback and in private folders: the TLS
// broker, the bus daemon, the carrier service, the platform's HTTPS side,
// and the agent itself as a process. Each process is stopped by PID when
// the rig goes.
#pragma once

#include <string>
#include <vector>

#include "broker.h"
#include "proc.h"

struct rig_paths {
    std::string agent, ubusd, zorvex_sim, platform_sim, router_bin;
};

// The agent's two topics, as the platform names them.
constexpr const char *UP_TOPIC = "bench-uuid-0001";    // the agent publishes here
constexpr const char *DOWN_TOPIC = "bench/down/0001";  // the agent listens here
constexpr const char *ECHO_METHOD = "benchEcho";       // answered by the service

class rig {
public:
    // broker_nodelay: the broker turns Nagle off on its client sockets too
    // (mosquitto's set_tcp_nodelay; off by default).
    rig(const rig_paths &paths, bool broker_nodelay);
    // Starts the peers; false (and why()) when one fails.
    bool start();
    // The agent, once whatever must hear it first is listening.
    bool start_agent();
    const std::string &why() const { return why_; }

    int broker_port() const { return broker_.port(); }
    const std::string &ca() const { return certs_.ca; }
    const std::string &bus_socket() const { return sock_; }
    pid_t agent_pid() const { return agent_.pid(); }
    pid_t broker_pid() const { return broker_.pid(); }
    std::string agent_log() const { return testsupport::read_file(dir_.file("agent.log")); }
    std::string broker_log() const { return broker_.log(); }
    bool agent_running() { return agent_.running(); }
    // A program with the router's environment, output to name.log.
    testsupport::Child spawn(const std::vector<std::string> &argv, const char *name) const;

private:
    std::vector<std::string> env() const;
    bool fail(const std::string &why);
    bool start_platform();

    rig_paths paths_;
    testsupport::TempDir dir_;
    testsupport::TestCerts certs_;
    testsupport::Broker broker_{certs_};
    std::string sock_ = dir_.file("ubus.sock");
    int https_port_ = 0;
    std::string why_;
    testsupport::Child bus_, zorvex_, platform_, agent_;
};
