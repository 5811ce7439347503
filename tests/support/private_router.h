// A private router: a mount namespace in which the router's fixed paths
// (/etc/config, /tmp/.uci, /var/run/ubus) are empty folders of its own, and
// /etc, /run and /tmp are overlays whose upper layers live on a tmpfs, so
// the host's files stay readable and what is written there goes with the
// namespace. The real libuci, libubus and ubusd have no other seams.
//
// Needs root. No GoogleTest: tests, the benchmark and the fuzzers share it.
#pragma once

#include <sys/types.h>

namespace testsupport {

constexpr const char *ROUTER_CONFDIR = "/etc/config";
constexpr const char *ROUTER_SAVEDIR = "/tmp/.uci";
constexpr const char *ROUTER_UBUS_SOCKET = "/var/run/ubus/ubus.sock";

// Moves the calling process into a fresh private router. Allocates nothing,
// so a forked child may call it before exec (one router per child: a fleet
// of agents, each with its own bus). 0, or -1 with errno set and *step
// naming what failed.
int private_router_enter(const char **step);

// Moves the caller into the private router process pid is in (its bus
// daemon, say); fork-safe too.
int private_router_join(pid_t pid, const char **step);

// A file of the private router that process pid is in, seen from outside:
// /proc/PID/root/PATH.
const char *private_router_path(pid_t pid, const char *path, char *buf, size_t len);

} // namespace testsupport
