#include "private_router.h"

#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {

// Bounded concatenation into a fixed buffer: nothing allocated after fork.
void join(char *buf, size_t len, const char *a, const char *b = "", const char *c = "")
{
    snprintf(buf, len, "%s%s%s", a, b, c);
}

int fail(const char **step, const char *what)
{
    if (step)
        *step = what;
    return -1;
}

// An empty folder at path inside an overlay, whatever the host has there.
// A plain folder of the overlay stays visible through a test's own
// overlay on top; a tmpfs mounted there would not.
int fresh_dir(const char *path, mode_t mode, const char **step)
{
    if (mkdir(path, mode) == 0)
        return chmod(path, mode) ? fail(step, path) : 0;
    if (errno != EEXIST)
        return fail(step, path);
    char opts[16];
    snprintf(opts, sizeof(opts), "mode=%o", static_cast<unsigned>(mode));
    if (mount("tmpfs", path, "tmpfs", MS_NOSUID | MS_NODEV, opts))
        return fail(step, path);
    return 0;
}

// An overlay on target over lower, its upper layer on the scratch tmpfs at
// /tmp, the top folder with the lower one's mode (/tmp is world-writable).
int overlay(const char *lower, const char *target, const char *name, const char **step)
{
    char up[64], work[64], opts[PATH_MAX + 160];
    join(up, sizeof(up), "/tmp/", name, "-up");
    join(work, sizeof(work), "/tmp/", name, "-work");
    struct stat st {};
    if (stat(lower, &st))
        return fail(step, lower);
    if (mkdir(up, 0755) || mkdir(work, 0755) || chmod(up, st.st_mode & 07777))
        return fail(step, up);
    snprintf(opts, sizeof(opts), "lowerdir=%s,upperdir=%s,workdir=%s", lower, up, work);
    if (mount("overlay", target, "overlay", 0, opts))
        return fail(step, target);
    return 0;
}

} // namespace

int private_router_enter(const char **step)
{
    if (geteuid() != 0) {
        errno = EPERM;
        return fail(step, "a mount namespace needs root");
    }
    if (unshare(CLONE_NEWNS))
        return fail(step, "unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        return fail(step, "mount --make-rprivate /");
    // The host's /tmp, reached through a descriptor once the scratch tmpfs
    // covers it: the build folder or a caller's files may be under it.
    int host_tmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (host_tmp < 0)
        return fail(step, "/tmp");
    char tmp_lower[32];
    snprintf(tmp_lower, sizeof(tmp_lower), "/proc/self/fd/%d", host_tmp);
    // On Debian /var/run is a link to /run.
    char run[PATH_MAX];
    int rc = 0;
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=0700"))
        rc = fail(step, "mount tmpfs on /tmp");
    else if (!realpath("/var/run", run))
        rc = fail(step, "/var/run");
    else if (overlay("/etc", "/etc", "etc", step) || overlay(run, run, "run", step) ||
             overlay(tmp_lower, "/tmp", "tmp", step) ||
             fresh_dir(ROUTER_CONFDIR, 0755, step) || fresh_dir("/var/run/ubus", 0755, step) ||
             fresh_dir(ROUTER_SAVEDIR, 0700, step))
        rc = -1;
    int saved = errno;
    close(host_tmp);
    errno = saved;
    return rc;
}

int private_router_join(pid_t pid, const char **step)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/ns/mnt", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(step, "open /proc/PID/ns/mnt");
    // setns refuses a caller that shares its fs attributes with a thread;
    // a child forked under qemu-user has qemu's threads.
    int rc = unshare(CLONE_FS) ? -1 : setns(fd, CLONE_NEWNS);
    int saved = errno;
    close(fd);
    errno = saved;
    return rc ? fail(step, "unshare(CLONE_FS), setns") : 0;
}

// An absolute link met under /proc/PID/root leads back to the caller's own
// root (/var/run -> /run would reach the host's bus): links are resolved
// on the host first, whose layout the private router shares.
const char *private_router_path(pid_t pid, const char *path, char *buf, size_t len)
{
    char head[PATH_MAX], real[PATH_MAX];
    snprintf(head, sizeof(head), "%s", path);
    const char *rest = "";
    for (char *cut = strrchr(head, '/'); cut && cut != head; cut = strrchr(head, '/')) {
        *cut = '\0';
        if (realpath(head, real)) {
            rest = path + (cut - head);
            snprintf(head, sizeof(head), "%s", real);
            break;
        }
    }
    if (!*rest)
        snprintf(head, sizeof(head), "%s", path);
    snprintf(buf, len, "/proc/%d/root%s%s", static_cast<int>(pid), head, rest);
    return buf;
}

} // namespace testsupport
