#include "boot.h"

#include <cstdio>
#include <string>
#include <vector>

#include "proc.h"

namespace testsupport {

namespace {

std::vector<std::string> boot_env(const BootOptions &opt)
{
    std::vector<std::string> env;
    if (!opt.init.empty())
        env.push_back("BOOT_INIT=" + opt.init);
    if (!opt.agent.empty())
        env.push_back("BOOT_AGENT=" + opt.agent);
    return env;
}

} // namespace

RouterBoot::RouterBoot(const std::string &logdir, const BootOptions &opt)
{
    RunOptions ro;
    ro.env = boot_env(opt);
    ro.timeout_ms = 60000;
    Result r = run({"/bin/sh", ROUTER_BOOT_SH, ROUTER_BOOT_ENV, "start", logdir}, ro);
    int n = sscanf(r.out.c_str(), "%d %d %d", &pids_[0], &pids_[1], &pids_[2]);
    if (r.code != 0 || n != 3)
        why_ = "router_boot.sh start: " + r.err;
}

RouterBoot::~RouterBoot()
{
    std::vector<std::string> argv = {"/bin/sh", ROUTER_BOOT_SH, ROUTER_BOOT_ENV, "stop"};
    for (pid_t p : pids_)
        if (p > 0)
            argv.push_back(std::to_string(p));
    if (argv.size() > 4)
        run(argv);
}

} // namespace testsupport
