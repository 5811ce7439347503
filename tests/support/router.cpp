#include "router.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {

constexpr const char *HOST_VARS[] = {"HOST_UCI_CONFDIR", "HOST_UCI_SAVEDIR",
                                     "HOST_UBUS_SOCKET", "HOST_NVTOOL_FILE"};

std::string failed(const char *what, const std::string &arg)
{
    return std::string(what) + " " + arg + ": " + strerror(errno);
}

// An empty folder at path inside an overlay, whatever the host has there.
// A plain folder of the overlay stays visible through a test's own
// overlay on top; a tmpfs mounted there would not.
std::string fresh_dir(const char *path, mode_t mode)
{
    if (mkdir(path, mode) == 0)
        return chmod(path, mode) ? failed("chmod", path) : std::string();
    if (errno != EEXIST)
        return failed("mkdir", path);
    char opts[16];
    snprintf(opts, sizeof(opts), "mode=%o", static_cast<unsigned>(mode));
    if (mount("tmpfs", path, "tmpfs", MS_NOSUID | MS_NODEV, opts))
        return failed("mount tmpfs on", path);
    return {};
}

// An overlay on target over lower, its upper layer on the scratch tmpfs,
// the top folder with the lower one's mode (/tmp is world-writable).
std::string overlay(const std::string &scratch, const std::string &lower, const char *target,
                    const char *name)
{
    std::string up = scratch + "/" + name + "-up", work = scratch + "/" + name + "-work";
    struct stat st {};
    if (stat(lower.c_str(), &st))
        return failed("stat", lower);
    if (mkdir(up.c_str(), 0755) || mkdir(work.c_str(), 0755) ||
        chmod(up.c_str(), st.st_mode & 07777))
        return failed("mkdir", up);
    std::string opts = "lowerdir=" + lower + ",upperdir=" + up + ",workdir=" + work;
    if (mount("overlay", target, "overlay", 0, opts.c_str()))
        return failed("mount overlay on", target);
    return {};
}

} // namespace

bool real_router_libs() { return ROUTER_REAL_LIBS != 0; }

RouterWorld::RouterWorld()
{
    paths_.ubusd = ROUTER_TEST_UBUSD;
    paths_.ubus = ROUTER_TEST_UBUS;
    paths_.uci = ROUTER_TEST_UCI;
    paths_.bin_path = ROUTER_TEST_BIN_PATH;
    // Checked on the host build too, where it would do no harm, so that
    // a test written there runs unchanged on the real libraries.
    if (TempDir::live() > 0)
        ADD_FAILURE() << "a TempDir made before the RouterWorld: on the real libraries "
                         "what the test writes there stays in the world's /tmp";
    if (real_router_libs()) {
        if (enter_namespace()) {
            paths_.confdir = "/etc/config";
            paths_.savedir = "/tmp/.uci";
            paths_.ubus_socket = "/var/run/ubus/ubus.sock";
        }
        dir_.emplace();
    } else {
        dir_.emplace();
        paths_.confdir = dir_->file("config");
        paths_.savedir = dir_->file("uci-save");
        paths_.ubus_socket = dir_->file("ubus.sock");
        mkdir(paths_.confdir.c_str(), 0755);
        mkdir(paths_.savedir.c_str(), 0700);
        setenv("HOST_UCI_CONFDIR", paths_.confdir.c_str(), 1);
        setenv("HOST_UCI_SAVEDIR", paths_.savedir.c_str(), 1);
        setenv("HOST_UBUS_SOCKET", paths_.ubus_socket.c_str(), 1);
    }
    paths_.nvfile = dir_->file("nvtool.txt");
    setenv("HOST_NVTOOL_FILE", paths_.nvfile.c_str(), 1);
    const char *path = getenv("PATH");
    old_path_ = path ? path : "";
    setenv("PATH", (paths_.bin_path + ":" + old_path_).c_str(), 1);
}

// /etc, /run and /tmp get overlays whose upper layers live on a scratch
// tmpfs: the host's files stay readable (the build folder may be under
// /tmp), and whatever the test writes goes when the namespace does.
bool RouterWorld::enter_namespace()
{
    if (geteuid() != 0) {
        why_ = "the real router libraries have fixed paths: needs root for a mount namespace";
        return false;
    }
    old_ns_ = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    old_cwd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (unshare(CLONE_NEWNS)) {
        why_ = failed("unshare", "CLONE_NEWNS");
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        why_ = failed("mount --make-rprivate", "/");
        return false;
    }
    // The host's /tmp, reached through a descriptor once the scratch
    // tmpfs covers it.
    int host_tmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const std::string scratch = "/tmp";
    if (host_tmp < 0 || mount("tmpfs", "/tmp", "tmpfs", 0, "mode=0700"))
        why_ = failed("mount tmpfs on", "/tmp");
    // On Debian /var/run is a link to /run.
    char run[PATH_MAX];
    if (why_.empty() && !realpath("/var/run", run))
        why_ = failed("realpath", "/var/run");
    if (why_.empty())
        why_ = overlay(scratch, "/etc", "/etc", "etc");
    if (why_.empty())
        why_ = overlay(scratch, run, run, "run");
    if (why_.empty())
        why_ = overlay(scratch, "/proc/self/fd/" + std::to_string(host_tmp), "/tmp", "tmp");
    if (host_tmp >= 0)
        close(host_tmp);
    if (why_.empty())
        why_ = fresh_dir("/etc/config", 0755);
    if (why_.empty())
        why_ = fresh_dir("/var/run/ubus", 0755);
    if (why_.empty())
        why_ = fresh_dir("/tmp/.uci", 0700);
    if (!why_.empty())
        ADD_FAILURE() << "private router namespace: " << why_;
    return why_.empty();
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
    for (const char *v : HOST_VARS)
        unsetenv(v);
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
    std::vector<std::string> e = {"HOST_NVTOOL_FILE=" + paths_.nvfile,
                                  "PATH=" + paths_.bin_path + ":/usr/sbin:/usr/bin:/sbin:/bin"};
    if (!real_router_libs()) {
        e.push_back("HOST_UCI_CONFDIR=" + paths_.confdir);
        e.push_back("HOST_UCI_SAVEDIR=" + paths_.savedir);
        e.push_back("HOST_UBUS_SOCKET=" + paths_.ubus_socket);
    }
    return e;
}

} // namespace testsupport
