// The router's boot-time system in the caller's private router: its paths
// (busybox as /bin/sh and its applets, the stock rc.common, functions.sh,
// procd.sh, uci.sh, jshn.sh, reload_config, /sbin/uci, jsonfilter, the
// package's init script and agent, a private /dev/log), then ubusd, logd
// and procd serving `service` on its bus (tests/support/router_boot.sh).
//
// No GoogleTest. The caller is already in a private router of its own
// (RouterWorld, private_router_enter): only that namespace changes.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

// What router_boot.sh puts in place may be overridden: an older init
// script, another agent.
struct BootOptions {
    std::string init;  // the init script installed as /etc/init.d/ovimar-agent
    std::string agent; // the program at /usr/sbin/ovimar-agent
};

class RouterBoot {
public:
    // logdir: where the daemons' own output goes.
    explicit RouterBoot(const std::string &logdir, const BootOptions &opt = {});
    // Deletes procd's services, then ends the daemons and every instance
    // left by PID.
    ~RouterBoot();
    RouterBoot(const RouterBoot &) = delete;
    RouterBoot &operator=(const RouterBoot &) = delete;

    bool ok() const { return why_.empty(); }
    const std::string &why() const { return why_; }
    pid_t ubusd() const { return pids_[0]; }
    pid_t logd() const { return pids_[1]; }
    pid_t procd() const { return pids_[2]; }

private:
    std::string why_;
    pid_t pids_[3] = {-1, -1, -1};
};

// The router's PATH, as procd and its scripts have it: busybox's applets
// first (router_boot.sh), then a router's folders.
constexpr const char *ROUTER_PATH = "/tmp/.router-boot/bin:/usr/sbin:/usr/bin:/sbin:/bin";

} // namespace testsupport
