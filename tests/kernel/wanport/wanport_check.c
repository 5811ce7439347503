/* wanport_helper in the guest, driven through the stand-in switch driver's
 * debugfs controls. run.sh has made eth0.3..eth0.6 and eth1 and loaded the
 * stand-in; this program loads and unloads the helper itself. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <net/if.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "check.h"

#define WAND "/proc/wand_port"
#define SIM "/sys/kernel/debug/mt753x/"
#define HELPER_KO "/lib/modules/project/wanport_helper.ko"
#define SQUAT_KO "/lib/modules/project/wand_squat.ko"
#define PANIC_ON_WARN "/proc/sys/kernel/panic_on_warn"

static const char *const lan[4] = { "eth0.3", "eth0.4", "eth0.5", "eth0.6" };

static void put(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY);

    if (fd < 0 || write(fd, text, strlen(text)) != (ssize_t)strlen(text))
        printf("FAIL writing \"%s\" to %s: %s\n", text, path, strerror(errno));
    if (fd >= 0)
        close(fd);
}

static long get_num(const char *path)
{
    char buf[32] = "";
    int fd = open(path, O_RDONLY);

    if (fd < 0)
        return -1000;
    if (read(fd, buf, sizeof(buf) - 1) < 0)
        buf[0] = 0;
    close(fd);
    return strtol(buf, NULL, 0);
}

static void sim_link(unsigned mask)
{
    char t[16];
    snprintf(t, sizeof(t), "%u", mask);
    put(SIM "link", t);
}

static void sim_quiet(unsigned mask)
{
    char t[16];
    snprintf(t, sizeof(t), "%u", mask);
    put(SIM "quiet_link", t);
}

static int carrier(const char *ifname)
{
    char path[64];
    snprintf(path, sizeof(path), "/sys/class/net/%s/carrier", ifname);
    return (int)get_num(path);
}

/* All five as one number, eth1 first: "10110" = eth1 on, eth0.3 off, ... */
static const char *carriers(void)
{
    static char s[6];
    s[0] = '0' + carrier("eth1");
    for (int i = 0; i < 4; i++)
        s[i + 1] = '0' + carrier(lan[i]);
    s[5] = 0;
    return s;
}

/* The whole file in one read. */
static const char *wand(void)
{
    static char buf[32];
    int fd = open(WAND, O_RDONLY);
    ssize_t n;

    if (fd < 0)
        return "(missing)";
    n = read(fd, buf, sizeof(buf) - 1);
    buf[n < 0 ? 0 : n] = 0;
    close(fd);
    return buf;
}

/* write(2) of text to the proc file: the count, or -errno. */
static long wand_write(const char *text)
{
    int fd = open(WAND, O_WRONLY);
    ssize_t n;

    if (fd < 0)
        return -1000;
    n = write(fd, text, strlen(text));
    if (n < 0)
        n = -errno;
    close(fd);
    return n;
}

static int exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

static void failed_loads_undo(void)
{
    put(SIM "fail_register", "5");
    check_int(module_load(HELPER_KO), EIO, "load fails with the link notifier's error");
    put(SIM "fail_register", "0");
    check(!exists(WAND), "a failed load removes /proc/wand_port");
    check_int(get_num(SIM "listeners"), 0, "a failed load leaves no link notifier");

    /* 2^32 - 1: the stand-in's register call returns +1. */
    put(SIM "fail_register", "4294967295");
    check_int(module_load(HELPER_KO), EIO, "a positive register result fails the load");
    put(SIM "fail_register", "0");
    check(!exists(WAND), "... and leaves no /proc/wand_port behind");
}

/* The whole of a small file as text, "" when it cannot be read. */
static const char *slurp(const char *path)
{
    static char buf[64];
    int fd = open(path, O_RDONLY);
    ssize_t n = fd < 0 ? 0 : read(fd, buf, sizeof(buf) - 1);

    buf[n < 0 ? 0 : n] = 0;
    if (fd >= 0)
        close(fd);
    return buf;
}

static int kernel_complaints(void)
{
    return klog_count("BUG:") + klog_count("WARNING:") + klog_count("Oops");
}

/* With /proc/wand_port already taken, proc_create fails and the load must
 * fail with EBUSY before it registers anything. The kernel warns about the
 * clash: that one warning is expected, so panic_on_warn is lifted for it
 * and the log, checked clean before, is cleared after. */
static void proc_entry_taken(void)
{
    check_int(kernel_complaints(), 0, "the kernel log is clean before the name clash");
    check_int(module_load(SQUAT_KO), 0, "a fixture takes /proc/wand_port");
    put(PANIC_ON_WARN, "0");
    check_int(module_load(HELPER_KO), EBUSY, "load with /proc/wand_port taken fails with EBUSY");
    put(PANIC_ON_WARN, "1");
    check_int(get_num(SIM "listeners"), 0, "... and leaves no link notifier");
    check_str(slurp(WAND), "squat\n", "... and leaves the other /proc/wand_port alone");
    check_int(module_unload("wand_squat"), 0, "the fixture unloads");
    check_int(klog_count("wand_port' already registered"), 1,
              "proc_create was refused the name (its one warning)");
    check_int(kernel_complaints(), 1, "no other kernel complaint");
    klogctl(5 /* SYSLOG_ACTION_CLEAR */, NULL, 0);
}

static void after_load(void)
{
    struct stat st;
    char c[4];
    void *bad;
    int fd, i;

    sim_quiet(0x5); /* ports 0 and 2 have link */
    check_int(module_load(HELPER_KO), 0, "wanport_helper loads");
    check_int(get_num(SIM "listeners"), 1, "one link notifier registered");
    check_str(carriers(), "01010", "load: eth1 off, LAN follows ports 0..3");
    check(stat(WAND, &st) == 0 && (st.st_mode & 07777) == 0660 && S_ISREG(st.st_mode),
          "/proc/wand_port is a file with mode 0660");

    fd = open(WAND, O_RDONLY);
    check_int(read(fd, c, sizeof(c)), 3, "first read yields 3 bytes");
    check(memcmp(c, "-1\n", 3) == 0, "first read is \"-1\\n\"");
    check_int(read(fd, c, sizeof(c)), 0, "second read is end of file");
    close(fd);

    fd = open(WAND, O_RDONLY);
    for (i = 0; i < 3; i++)
        check(read(fd, c, 1) == 1 && c[0] == "-1\n"[i], "one-byte read %d", i);
    check_int(read(fd, c, 1), 0, "one-byte reads end with end of file");
    check(lseek(fd, 1, SEEK_SET) == 1 && read(fd, c, 4) == 2 && memcmp(c, "1\n", 2) == 0,
          "read from position 1 after a seek");
    close(fd);

    /* Buffers the kernel cannot copy to or from. */
    bad = mmap(NULL, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    fd = open(WAND, O_RDWR);
    check(bad != MAP_FAILED && read(fd, bad, 4) == -1 && errno == EFAULT,
          "read into an unwritable buffer: EFAULT");
    check(read(fd, c, sizeof(c)) == 3 && memcmp(c, "-1\n", 3) == 0,
          "the faulted read left the position at 0");
    check(write(fd, bad, 1) == -1 && errno == EFAULT, "write from an unreadable buffer: EFAULT");
    check_str(wand(), "-1\n", "the faulted write changed nothing");
    close(fd);
    if (bad != MAP_FAILED)
        munmap(bad, 4096);
}

struct timed_write {
    const char *text;
    long ret;
    double t0, t1;
    int done;
};

static void *writer(void *arg)
{
    struct timed_write *w = arg;

    w->t0 = now_ms();
    w->ret = wand_write(w->text);
    w->t1 = now_ms();
    __atomic_store_n(&w->done, 1, __ATOMIC_RELEASE);
    return NULL;
}

static int finished(struct timed_write *w)
{
    return __atomic_load_n(&w->done, __ATOMIC_ACQUIRE);
}

static void choosing(void)
{
    struct timed_write w = { "2", 0, 0, 0, 0 }, w3 = { "3", 0, 0, 0, 0 };
    pthread_t th;
    int saw_pause = 0, eth1_off_in_pause = 0;

    writer(&w);
    check_int(w.ret, 1, "write 2 consumes the whole write");
    check(w.t1 - w.t0 < 200, "write 2 from -1 does not pause (%.0f ms)", w.t1 - w.t0);
    check_str(wand(), "2\n", "WAN port 2");
    check_int(carrier("eth1"), 1, "eth1 follows port 2's link (up)");

    pthread_create(&th, NULL, writer, &w3);
    while (!finished(&w3)) {
        if (!strcmp(wand(), "-1\n")) {
            saw_pause = 1;
            eth1_off_in_pause |= carrier("eth1") == 0;
        }
        usleep(5000);
    }
    pthread_join(th, NULL);
    check(w3.t1 - w3.t0 >= 300, "write 3 from 2 pauses 300 ms (%.0f ms)", w3.t1 - w3.t0);
    check(saw_pause && eth1_off_in_pause, "during the pause: WAN port -1, eth1 off");
    check_str(wand(), "3\n", "WAN port 3");
    check_int(carrier("eth1"), 0, "eth1 follows port 3's link (down)");

    sim_link(0xd); /* port 3 comes up */
    check_str(carriers(), "11011", "port 3 up: eth1 and eth0.6 on");
    sim_quiet(0x5); /* port 3 drops without telling anyone */
    writer(&w3);
    check(w3.t1 - w3.t0 < 200, "write 3 again does not pause (%.0f ms)", w3.t1 - w3.t0);
    check_int(carrier("eth1"), 0, "write 3 again re-reads port 3's link");
    sim_link(0x5);

    check_int(wand_write("-1\n"), 3, "write -1 with a newline");
    check_str(wand(), "-1\n", "WAN port cleared");
    check_int(carrier("eth1"), 0, "clearing turns eth1 off");
    sim_link(0xf);
    check_str(carriers(), "01111", "WAN cleared: links move LAN only");
    sim_link(0x5);
    check_str(carriers(), "01010", "WAN cleared: link loss moves LAN only");
}

static void refusals(void)
{
    static const struct { const char *text; int err; } bad[] = {
        { "4", EINVAL }, { "-2", EINVAL }, { "text", EINVAL }, { "", EINVAL },
        { "1x", EINVAL },
        { "4294967298", EINVAL },  /* 2 once narrowed to 32 bits */
        { "4294967295", EINVAL },  /* -1 once narrowed */
        { "-4294967297", EINVAL }, /* -1 once narrowed */
        { "99999999999999999999", ERANGE },
    };

    check_int(wand_write("1"), 1, "write 1");
    for (size_t i = 0; i < sizeof(bad) / sizeof(bad[0]); i++)
        check_int(wand_write(bad[i].text), -bad[i].err, "write \"%s\" refused", bad[i].text);
    check_str(wand(), "1\n", "refused writes leave the WAN port alone");
}

static void link_events(void)
{
    /* WAN port 1 from refusals(), links 0x5 */
    check_str(carriers(), "01010", "WAN port 1 without link: eth1 off");
    sim_link(0x7);
    check_str(carriers(), "11110", "port 1 up: eth1 and eth0.4 on");
    sim_link(0x6);
    check_str(carriers(), "10110", "port 0 down: eth0.3 off, eth1 stays");
    sim_link(0x4);
    check_str(carriers(), "00010", "port 1 down: eth1 and eth0.4 off");
    sim_link(0x6);
    check_int(get_num(SIM "last_result"), 0, "a link change returns NOTIFY_DONE");
    put(SIM "event", "5 0");
    check_int(get_num(SIM "last_result"), 1, "a notification for port 5 returns NOTIFY_OK");
    put(SIM "event", "4 0");
    check_int(get_num(SIM "last_result"), 1, "a notification for port 4 returns NOTIFY_OK");
    check_str(carriers(), "10110", "notifications for ports 4 and 5 change nothing");
    put(SIM "event", "3 0");
    check_int(get_num(SIM "last_result"), 0, "a notification for port 3 returns NOTIFY_DONE");
    put(SIM "event", "1 1");
    check_int(get_num(SIM "last_result"), 0, "one for the WAN port returns NOTIFY_DONE");
}

static void bring_up_without_link(void)
{
    sim_link(0x6);
    check_int(carrier("eth0.5"), 1, "eth0.5 on while port 2 has link");
    check_int(system("ip link set eth0.5 down"), 0, "eth0.5 down");
    sim_quiet(0x2); /* port 2 loses link, unannounced */
    check_int(system("ip link set eth0.5 up"), 0, "eth0.5 up");
    check_int(carrier("eth0.5"), 0, "eth0.5 brought up on port 2 without link: carrier off");
    sim_link(0x6);
    check_int(carrier("eth0.5"), 1, "port 2 link back: eth0.5 on");
}

/* Flips IFF_NOARP of an up interface: the kernel raises NETDEV_CHANGE. */
static void flip_noarp(const char *ifname)
{
    struct ifreq ifr;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);

    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", ifname);
    if (fd < 0 || ioctl(fd, SIOCGIFFLAGS, &ifr) < 0 ||
        (ifr.ifr_flags ^= IFF_NOARP, ioctl(fd, SIOCSIFFLAGS, &ifr) < 0))
        printf("FAIL flipping NOARP of %s: %s\n", ifname, strerror(errno));
    if (fd >= 0)
        close(fd);
}

/* Interfaces named eth1 and eth0.3 in another network namespace, brought
 * up there: their carrier is their own driver's (on), never the switch's. */
static void other_namespace(void)
{
    static const char cmd[] =
        "unshare -n sh -c 'ip link add eth1 type dummy && ip link add eth0.3 type dummy &&"
        " ip link set eth1 up && ip link set eth0.3 up &&"
        " for d in eth1 eth0.3; do ip link show $d | grep -q LOWER_UP &&"
        " echo $d:on || echo $d:off; done' 2>&1";
    char out[128] = "";
    FILE *p = popen(cmd, "r");
    size_t n = p ? fread(out, 1, sizeof(out) - 1, p) : 0;

    out[n] = 0;
    if (p)
        pclose(p);
    check_str(out, "eth1:on\neth0.3:on\n", "another namespace's eth1 and eth0.3 keep their carrier");
}

/* Carrier changes also raise NETDEV_CHANGE later, from the kernel's link
 * watch: only what a flip settles at once is checked. */
static void change_events(void)
{
    /* WAN port 1, links 0x6 */
    sim_quiet(0x0); /* every port loses link, unannounced */
    flip_noarp("eth0.4");
    check_int(carrier("eth0.4"), 0, "NETDEV_CHANGE on eth0.4 re-reads port 1's link");
    flip_noarp("eth1");
    check_int(carrier("eth1"), 0, "NETDEV_CHANGE on eth1 re-reads the WAN port's link");
    other_namespace();
    flip_noarp("eth0.4");
    flip_noarp("eth1");
    sim_link(0x6);
    check_str(carriers(), "10110", "links back");
}

static void concurrent_writers(void)
{
    struct timed_write a = { "3", 0, 0, 0, 0 }, b = { "1", 0, 0, 0, 0 };
    pthread_t ta, tb;
    double t0;

    check_int(wand_write("2"), 1, "write 2");
    pthread_create(&ta, NULL, writer, &a);
    t0 = now_ms();
    while (strcmp(wand(), "-1\n") && !finished(&a) && now_ms() - t0 < 2000)
        usleep(1000); /* a is in its pause */
    pthread_create(&tb, NULL, writer, &b);
    pthread_join(ta, NULL);
    pthread_join(tb, NULL);
    check(a.ret == 1 && b.ret == 1, "both writers succeed");
    check(b.t1 >= a.t1 + 300,
          "the second writer waits for the first, then pauses itself (%.0f ms after)",
          b.t1 - a.t1);
    check_str(wand(), "1\n", "the later writer wins");
    check_int(carrier("eth1"), 1, "eth1 follows port 1");
}

static void unload_leaves_carriers_on(void)
{
    check_int(wand_write("-1"), 2, "write -1");
    sim_link(0x0);
    check_str(carriers(), "00000", "all links down: all five off");
    check_int(module_unload("wanport_helper"), 0, "wanport_helper unloads");
    check_str(carriers(), "11111", "after unload all five are on");
    check(!exists(WAND), "/proc/wand_port is gone");
    check_int(get_num(SIM "listeners"), 0, "link notifier unregistered");
    sim_link(0x3);
    check_str(carriers(), "11111", "no one listens to the switch any more");
}

static void load_without_switch_driver(void)
{
    check_int(module_unload("mt753x_sim"), 0, "stand-in switch driver unloads");
    check_int(module_load(HELPER_KO), ENOENT, "load without the switch driver fails (unknown symbols)");
    check(!exists(WAND), "no /proc/wand_port without the switch driver");
}

/* A net device reference taken and never put keeps a deleted interface
 * waiting for it for ever (the deleting process hangs in the kernel): each
 * of the five must be gone within 3 s. */
static void interfaces_delete(void)
{
    static const char *const names[5] = { "eth1", "eth0.3", "eth0.4", "eth0.5", "eth0.6" };
    pid_t pid[5];
    int done[5] = { 0 }, left = 5, st;
    double t0 = now_ms();

    put("/proc/sys/net/core/netdev_unregister_timeout_secs", "1");
    for (int i = 0; i < 5; i++) {
        pid[i] = fork();
        if (pid[i] == 0) {
            execlp("ip", "ip", "link", "del", names[i], (char *)NULL);
            _exit(127);
        }
    }
    while (left && now_ms() - t0 < 3000) {
        for (int i = 0; i < 5; i++) {
            if (!done[i] && pid[i] > 0 && waitpid(pid[i], &st, WNOHANG) == pid[i]) {
                done[i] = 1 + (WIFEXITED(st) && WEXITSTATUS(st) == 0);
                left--;
            }
        }
        usleep(10000);
    }
    for (int i = 0; i < 5; i++)
        check(done[i] == 2, "deleting %s completes: no reference left behind%s", names[i],
              done[i] ? "" : " (still waiting for it to become free)");
}

int main(void)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    failed_loads_undo();
    proc_entry_taken();
    after_load();
    choosing();
    refusals();
    link_events();
    bring_up_without_link();
    change_events();
    concurrent_writers();
    unload_leaves_carriers_on();
    load_without_switch_driver();
    interfaces_delete();
    return rig_failed;
}
