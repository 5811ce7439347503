// Everything the agent meets, on loopback and in private folders: the TLS
// broker, the bus daemon, the carrier service, the platform's HTTPS side,
// and the agent itself as a process. The bus daemon starts a private router
// of its own (tests/support/private_router.h) that the carrier service and
// the agent join, so the host's /etc/config and bus are never touched and
// every rig has its own. Each process is stopped by PID when the rig goes.
#pragma once

#include <string>
#include <vector>

#include "broker.h"
#include "proc.h"

struct rig_paths {
    std::string agent, ubusd, zorvex_sim, platform_sim;
    std::string router_bin; // PATH folders of the router's and board's commands
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
    // The rig's bus, as the bench process reaches it from outside.
    const std::string &bus_socket() const { return sock_; }
    pid_t agent_pid() const { return agent_.pid(); }
    pid_t broker_pid() const { return broker_.pid(); }
    std::string agent_log() const { return testsupport::read_file(dir_.file("agent.log")); }
    std::string broker_log() const { return broker_.log(); }
    bool agent_running() { return agent_.running(); }
    // A program with the router's environment, output to name.log.
    testsupport::Child spawn(const std::vector<std::string> &argv, const char *name) const;

private:
    // The same, inside the rig's private router.
    testsupport::Child spawn_in_router(const std::vector<std::string> &argv,
                                       const char *name) const;
    // A file of the private router, from outside.
    std::string router_file(const char *path) const;
    std::vector<std::string> env() const;
    bool fail(const std::string &why);
    bool start_platform();

    rig_paths paths_;
    testsupport::TempDir dir_;
    testsupport::TestCerts certs_;
    testsupport::Broker broker_{certs_};
    std::string sock_;
    int https_port_ = 0;
    std::string why_;
    testsupport::Child bus_, zorvex_, platform_, agent_;
};
