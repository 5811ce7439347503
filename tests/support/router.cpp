#include "router.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testsupport {

RouterWorld::RouterWorld()
{
    paths_.ubusd = ROUTER_UBUSD;
    paths_.ubus = ROUTER_UBUS;
    paths_.uci = ROUTER_UCI;
    paths_.bin_path = ROUTER_BIN_PATH;
    // What the test writes under /tmp stays in the world: a folder made
    // before it would keep on the host what it held then, and lose the rest.
    if (TempDir::live() > 0)
        ADD_FAILURE() << "a TempDir made before the RouterWorld: what the test writes "
                         "there stays in the world's /tmp";
    if (geteuid() != 0) {
        why_ = "the router's libraries have fixed paths: needs root for a mount namespace";
    } else {
        old_ns_ = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
        old_cwd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const char *step = "";
        if (private_router_enter(&step)) {
            why_ = std::string(step) + ": " + strerror(errno);
            ADD_FAILURE() << "private router namespace: " << why_;
        }
    }
    dir_.emplace();
    paths_.nvfile = dir_->file("nvtool.txt");
    setenv("HOST_NVTOOL_FILE", paths_.nvfile.c_str(), 1);
    const char *path = getenv("PATH");
    old_path_ = path ? path : "";
    setenv("PATH", (paths_.bin_path + ":" + old_path_).c_str(), 1);
}

RouterWorld::~RouterWorld()
{
    dir_.reset();
    if (old_ns_ >= 0) {
        if (setns(old_ns_, CLONE_NEWNS))
            fprintf(stderr, "setns back: %s\n", strerror(errno));
        close(old_ns_);
    }
    if (old_cwd_ >= 0) {
        if (fchdir(old_cwd_))
            fprintf(stderr, "fchdir back: %s\n", strerror(errno));
        close(old_cwd_);
    }
    unsetenv("HOST_NVTOOL_FILE");
    setenv("PATH", old_path_.c_str(), 1);
}

void RouterWorld::config(const std::string &package, const std::string &text) const
{
    write_file(paths_.confdir + "/" + package, text);
}

std::string RouterWorld::config(const std::string &package) const
{
    return read_file(paths_.confdir + "/" + package);
}

std::vector<std::string> RouterWorld::env() const
{
    return {"HOST_NVTOOL_FILE=" + paths_.nvfile,
            "PATH=" + paths_.bin_path + ":/usr/sbin:/usr/bin:/sbin:/bin"};
}

} // namespace testsupport
