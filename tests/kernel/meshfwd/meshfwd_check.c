/* meshfwd_filter on a bridge br0 with veth ports a0, b0, c0: frames go in
 * on a1 (or b1, d1) and are captured on the other outer ends and on br0,
 * where local delivery ends. This program loads and unloads the module. */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdlib.h>

#include "bridge_rig.h"
#include "check.h"

#define MOD_KO "/lib/modules/project/meshfwd_filter.ko"
#define ORDER "/sys/kernel/debug/meshfwd_order/"
#define PRINTK "/proc/sys/kernel/printk"
#define SENT15 0xa5  /* byte 15 as every 1905.1 frame here is sent */
#define RELAY 0x40
#define LAST_FRAG 0x80

static const unsigned char mcast1905[6] = { 0x01, 0x80, 0xc2, 0x00, 0x00, 0x13 };
static const unsigned char nobody[6] = { 0x02, 0x6d, 0x66, 0xfe, 0x00, 0x01 };
static const unsigned char bcast[6] = { 0xff, 0xff, 0xff, 0xff, 0xff, 0xff };

/* Captures: the outer ends and the bridge itself. */
enum { A, B, C, D, BR, NCAP };
static const char *const cap_name[NCAP] = { "a1", "b1", "c1", "d1", "br0" };
static int cap_fd[NCAP];

struct got {
    int seen;
    size_t len;
    unsigned char f[256];
};

static uint16_t next_id = 1;

/* Source 02:6d:66:KK:id: KK 0 marks the frame under test, 1 a sentinel. */
static void put_src(unsigned char *f, int kind, uint16_t id)
{
    static const unsigned char pre[3] = { 0x02, 0x6d, 0x66 };
    memcpy(f + 6, pre, 3);
    f[9] = kind;
    f[10] = id >> 8;
    f[11] = id & 0xff;
}

static int is_src(const unsigned char *f, size_t n, int kind, uint16_t id)
{
    unsigned char want[12];
    put_src(want, kind, id);
    return n >= 12 && memcmp(f + 6, want + 6, 6) == 0;
}

/* A 60-byte 1905.1 topology discovery message. */
static size_t frame_1905(unsigned char *f, const unsigned char dst[6], uint16_t id, int flags)
{
    memset(f, 0, 60);
    memcpy(f, dst, 6);
    put_src(f, 0, id);
    f[12] = 0x89;
    f[13] = 0x3a;
    f[15] = SENT15;
    f[18] = id >> 8;   /* message id */
    f[19] = id & 0xff;
    f[21] = flags;
    memset(f + 25, 0x5a, 35); /* after the end-of-message TLV */
    return 60;
}

static size_t frame_arp(unsigned char *f, uint16_t id)
{
    static const unsigned char req[] = { 0, 1, 8, 0, 6, 4, 0, 1 };
    memset(f, 0, 60);
    memcpy(f, bcast, 6);
    put_src(f, 0, id);
    f[12] = 0x08;
    f[13] = 0x06;
    memcpy(f + 14, req, sizeof(req));
    memcpy(f + 22, f + 6, 6);
    f[28] = 10, f[31] = 1;   /* 10.0.0.1 asks for 10.0.0.2 */
    f[38] = 10, f[41] = 2;
    return 60;
}

/* IPv4/UDP broadcast; byte 15 (the TOS) and 21 (fragment bits) non-zero. */
static size_t frame_ipv4(unsigned char *f, const unsigned char dst[6], uint16_t id)
{
    static const unsigned char ip[] = {
        0x45, 0xb8, 0x00, 0x2e, 0x12, 0x34, 0x40, 0x00, 0x40, 0x11, 0x00, 0x00,
        10, 0, 0, 1, 255, 255, 255, 255,
        0x30, 0x39, 0x30, 0x39, 0x00, 0x1a, 0x00, 0x00,
    };
    memset(f, 0x33, 60);
    memcpy(f, dst, 6);
    put_src(f, 0, id);
    f[12] = 0x08;
    f[13] = 0x00;
    memcpy(f + 14, ip, sizeof(ip));
    return 60;
}

static void drain(void)
{
    unsigned char buf[2048];
    for (int i = 0; i < NCAP; i++)
        while (raw_recv(cap_fd[i], buf, sizeof(buf), 0) > 0)
            ;
}

/* Sends f (len bytes) on the outer end `from`, then a broadcast sentinel
 * that every capture gets: whatever of f has not arrived before it, never
 * will (one CPU, one path). got[i] is what capture i saw of f. */
static void send_frame(int from, const unsigned char *f, size_t len, struct got got[NCAP])
{
    unsigned char s[60], buf[2048];
    uint16_t sid = next_id++;
    int fd = raw_open(cap_name[from], 0);
    ssize_t n;

    drain();
    memset(got, 0, sizeof(struct got) * NCAP);
    frame_ipv4(s, bcast, sid);
    put_src(s, 1, sid);
    if (fd < 0 || send(fd, f, len, 0) != (ssize_t)len || send(fd, s, 60, 0) != 60)
        printf("FAIL sending on %s: %s\n", cap_name[from], strerror(errno));
    if (fd >= 0)
        close(fd);
    for (int i = 0; i < NCAP; i++) {
        if (i == from || cap_fd[i] < 0)
            continue;
        for (;;) {
            n = raw_recv(cap_fd[i], buf, sizeof(buf), 2000);
            if (n <= 0) {
                printf("FAIL %s: sentinel frame never arrived\n", cap_name[i]);
                break;
            }
            if (is_src(buf, n, 1, sid))
                break;
            if (is_src(buf, n, 0, (f[10] << 8) | f[11]) && !got[i].seen) {
                got[i].seen = 1;
                got[i].len = n < (ssize_t)sizeof(got[i].f) ? (size_t)n : sizeof(got[i].f);
                memcpy(got[i].f, buf, got[i].len);
            }
        }
    }
}

/* The frame arrived on capture i, as sent but for byte 15 = b15 (-1: as sent). */
static void expect_frame(const char *what, const struct got got[NCAP], int i,
                         const unsigned char *f, size_t len, int b15)
{
    const struct got *g = &got[i];
    unsigned char want[256];

    memcpy(want, f, len);
    if (b15 >= 0)
        want[15] = b15;
    if (!check(g->seen, "%s: reaches %s", what, cap_name[i]))
        return;
    if (len > 15 && g->len == len && g->f[15] != want[15])
        printf("FAIL %s: byte 15 on %s: got 0x%02x, want 0x%02x\n", what, cap_name[i],
               g->f[15], want[15]);
    else
        check(g->len == len && memcmp(g->f, want, len) == 0,
              "%s: on %s %s", what, cap_name[i],
              b15 >= 0 ? "byte 15 stamped, the rest as sent" : "exactly as sent");
}

static void expect_none(const char *what, const struct got got[NCAP], int i)
{
    check(!got[i].seen, "%s: does not reach %s", what, cap_name[i]);
}

/* Kernel log lines containing text; the last one's message in last and
 * its level in *level. */
static int log_lines(const char *text, char *last, size_t n, int *level)
{
    static char buf[1 << 18];
    int count = 0;
    char *line, *save, *msg;

    snprintf(buf, sizeof(buf), "%s", klog_all());
    *level = -1;
    for (line = strtok_r(buf, "\n", &save); line; line = strtok_r(NULL, "\n", &save)) {
        if (!strstr(line, text))
            continue;
        msg = strstr(line, "] ");
        snprintf(last, n, "%s", msg ? msg + 2 : line);
        *level = line[0] == '<' ? atoi(line + 1) : -1;
        count++;
    }
    return count;
}

/* The level a printk without one is given: the printk sysctl's second
 * field, read when the line is made. */
static void default_level(int level)
{
    char text[32];
    int fd = open(PRINTK, O_WRONLY);

    snprintf(text, sizeof(text), "4 %d 1 7", level);
    if (fd < 0 || write(fd, text, strlen(text)) != (ssize_t)strlen(text))
        printf("FAIL setting the default message level: %s\n", strerror(errno));
    if (fd >= 0)
        close(fd);
}

/* Loaded and unloaded once under another default level than the main run's
 * (5): the lines follow the default, so they carry no level of their own. */
static void log_levels(void)
{
    char last[128] = "";
    int level;

    default_level(2);
    check_int(module_load(MOD_KO), 0, "meshfwd_filter loads (default level 2)");
    check_int(log_lines("meshfwd filter", last, sizeof(last), &level), 1, "one log line at load");
    check_str(last, "meshfwd filter init", "the load line");
    check_int(level, 2, "the load line takes the default level");
    check_int(module_unload("meshfwd_filter"), 0, "meshfwd_filter unloads (default level 2)");
    check_int(log_lines("meshfwd filter", last, sizeof(last), &level), 2,
              "one more log line at unload");
    check_str(last, "meshfwd filter exit", "the unload line");
    check_int(level, 2, "the unload line takes the default level");
    default_level(5);
}

/* meshfwd_order's six counts (see its source). */
static void order_seen(int c[6])
{
    char text[128] = "";
    int fd = open(ORDER "seen", O_RDONLY);
    ssize_t n = fd < 0 ? -1 : read(fd, text, sizeof(text) - 1);

    text[n < 0 ? 0 : n] = 0;
    if (fd >= 0)
        close(fd);
    memset(c, 0, 6 * sizeof(int));
    if (sscanf(text, "%d %d %d %d %d %d", &c[0], &c[1], &c[2], &c[3], &c[4], &c[5]) != 6)
        printf("FAIL reading " ORDER "seen: \"%s\"\n", text);
}

static unsigned char idx8(const char *port)
{
    return ifidx(port) & 0xff;
}

static int write_text(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY);
    int ok = fd >= 0 && write(fd, text, strlen(text)) == (ssize_t)strlen(text);

    if (fd >= 0)
        close(fd);
    return ok;
}

static void ordinary_frames(const char *when)
{
    unsigned char f[60];
    struct got got[NCAP];
    char what[80];
    size_t len;

    snprintf(what, sizeof(what), "ARP broadcast %s", when);
    len = frame_arp(f, next_id++);
    send_frame(A, f, len, got);
    expect_frame(what, got, B, f, len, -1);
    expect_frame(what, got, C, f, len, -1);
    expect_frame(what, got, BR, f, len, -1);

    snprintf(what, sizeof(what), "IPv4 broadcast %s", when);
    len = frame_ipv4(f, bcast, next_id++);
    send_frame(A, f, len, got);
    expect_frame(what, got, B, f, len, -1);
    expect_frame(what, got, C, f, len, -1);
    expect_frame(what, got, BR, f, len, -1);
}

static void multicast(void)
{
    unsigned char f[60];
    struct got got[NCAP];
    int c0[6], c[6];
    size_t len;

    order_seen(c0);

    len = frame_1905(f, mcast1905, next_id++, LAST_FRAG);
    send_frame(A, f, len, got);
    expect_none("multicast, relay clear, from a1", got, B);
    expect_none("multicast, relay clear, from a1", got, C);
    expect_frame("multicast, relay clear, from a1", got, BR, f, len, idx8("a0"));

    len = frame_1905(f, mcast1905, next_id++, 0);
    send_frame(B, f, len, got);
    expect_none("multicast, relay clear, from b1", got, A);
    expect_none("multicast, relay clear, from b1", got, C);
    expect_frame("multicast, relay clear, from b1", got, BR, f, len, idx8("b0"));

    /* Two frames, each forwarded to two ports and delivered locally once;
     * a filter at priority 1 drops and stamps between 0 and 2. */
    order_seen(c);
    for (int i = 0; i < 6; i++)
        c[i] -= c0[i];
    check_int(c[0], 4, "forward hooks at priority 0 see the non-relayed frames");
    check_int(c[1], 0, "forward hooks at priority 2 see none: dropped at priority 1");
    check_int(c[2], 2, "local-in hooks at priority 0 see both frames");
    check_int(c[4], 0, "... none stamped yet");
    check_int(c[3], 2, "local-in hooks at priority 2 see both frames");
    check_int(c[5], 0, "... each stamped at priority 1");

    /* The forwarded copies must not carry the stamp of the local one. */
    len = frame_1905(f, mcast1905, next_id++, LAST_FRAG | RELAY);
    send_frame(A, f, len, got);
    expect_frame("multicast, relay set", got, B, f, len, -1);
    expect_frame("multicast, relay set", got, C, f, len, -1);
    expect_frame("multicast, relay set", got, BR, f, len, idx8("a0"));
}

static void unicast(void)
{
    unsigned char f[60], brmac[6];
    struct got got[NCAP];
    size_t len;

    len = frame_1905(f, nobody, next_id++, LAST_FRAG);
    send_frame(A, f, len, got);
    expect_frame("unicast, relay clear", got, B, f, len, -1);
    expect_frame("unicast, relay clear", got, C, f, len, -1);
    expect_none("unicast, relay clear", got, BR);

    len = frame_1905(f, nobody, next_id++, LAST_FRAG | RELAY);
    send_frame(A, f, len, got);
    expect_frame("unicast, relay set", got, B, f, len, -1);
    expect_frame("unicast, relay set", got, C, f, len, -1);

    check(mac_of("br0", brmac) == 0, "br0 has a MAC address");
    len = frame_1905(f, brmac, next_id++, LAST_FRAG);
    send_frame(C, f, len, got);
    expect_none("unicast to br0", got, A);
    expect_none("unicast to br0", got, B);
    expect_frame("unicast to br0", got, BR, f, len, idx8("c0"));

    /* A promiscuous bridge floods unknown unicast and keeps a copy. */
    check_int(link_set("br0", IFF_PROMISC, IFF_PROMISC, 0), 0, "br0 promiscuous");
    len = frame_1905(f, nobody, next_id++, LAST_FRAG);
    send_frame(A, f, len, got);
    expect_frame("unicast, promiscuous br0", got, B, f, len, -1);
    expect_frame("unicast, promiscuous br0", got, C, f, len, -1);
    expect_frame("unicast, promiscuous br0", got, BR, f, len, idx8("a0"));
    check_int(link_set("br0", 0, IFF_PROMISC, 0), 0, "br0 not promiscuous");
}

/* Frames that end inside the 1905.1 header pass untouched everywhere:
 * sent short, and shortened by meshfwd_tail, which leaves the sent bytes
 * (relay indicator clear) in the buffer past the end. */
static void short_frames(void)
{
    static const size_t lens[] = { 14, 15, 16, 21 };
    unsigned char f[60];
    struct got got[NCAP];
    char what[64];

    for (size_t k = 0; k < sizeof(lens) / sizeof(lens[0]); k++) {
        for (int trim = 0; trim < 2; trim++) {
            frame_1905(f, mcast1905, next_id++, 0);
            if (trim) {
                memcpy(f + 54, "trim", 4);
                f[58] = lens[k];
                f[59] = 0xee;
            }
            snprintf(what, sizeof(what), "multicast of %zu bytes%s", lens[k],
                     trim ? ", shortened" : "");
            send_frame(A, f, trim ? 60 : lens[k], got);
            expect_frame(what, got, B, f, lens[k], -1);
            expect_frame(what, got, C, f, lens[k], -1);
            expect_frame(what, got, BR, f, lens[k], -1);
        }
    }
    frame_1905(f, mcast1905, next_id++, 0);
    send_frame(A, f, 22, got);
    expect_none("multicast of 22 bytes, relay clear", got, B);
    expect_frame("multicast of 22 bytes, relay clear", got, BR, f, 22, idx8("a0"));
}

/* Ports are made and dropped until one gets an index above 255 whose low
 * byte is no other device's index: a stamp from the wrong device shows. */
static void high_index(void)
{
    unsigned char f[60];
    struct got got[NCAP];
    char other[IF_NAMESIZE];
    int idx = 0, tries = 0;

    while (tries++ < 300) {
        if (link_add("d0", "veth", "d1")) {
            idx = 0;
            break;
        }
        idx = ifidx("d0");
        if (idx > 255 && !if_indextoname(idx & 0xff, other))
            break;
        link_del("d0");
    }
    if (!check(idx > 255, "a port with index %d above 255 (low byte %d)", idx, idx & 0xff))
        return;
    check_int(link_set("d0", IFF_UP, IFF_UP, ifidx("br0")), 0, "d0 joins br0");
    check_int(link_set("d1", IFF_UP, IFF_UP, 0), 0, "d1 up");
    cap_fd[D] = raw_open("d1", ETH_P_ALL);

    frame_1905(f, mcast1905, next_id++, 0);
    send_frame(D, f, 60, got);
    expect_frame("multicast from d1", got, BR, f, 60, idx & 0xff);
    expect_none("multicast from d1", got, A);
    expect_none("multicast from d1", got, B);
}

static void after_unload(void)
{
    unsigned char f[60];
    struct got got[NCAP];
    size_t len;

    len = frame_1905(f, mcast1905, next_id++, LAST_FRAG);
    send_frame(A, f, len, got);
    expect_frame("unloaded, multicast relay clear", got, B, f, len, -1);
    expect_frame("unloaded, multicast relay clear", got, C, f, len, -1);
    if (cap_fd[D] >= 0)
        expect_frame("unloaded, multicast relay clear", got, D, f, len, -1);
    expect_frame("unloaded, multicast relay clear", got, BR, f, len, -1);
}

int main(void)
{
    static const char *const ports[] = { "a", "b", "c" };
    char last[128] = "";
    int level;

    setvbuf(stdout, NULL, _IOLBF, 0);
    if (!check_int(bridge_setup(ports, 3), 0, "bridge br0 with ports a0, b0, c0"))
        return 1;
    for (int i = 0; i < NCAP; i++)
        cap_fd[i] = i == D ? -1 : raw_open(cap_name[i], ETH_P_ALL);

    log_levels();
    check_int(module_load(MOD_KO), 0, "meshfwd_filter loads");
    check_int(log_lines("meshfwd filter", last, sizeof(last), &level), 3, "one log line at load");
    check_str(last, "meshfwd filter init", "the load line");
    check_int(level, 5, "the load line takes the default level (5)");
    /* Registered after the filter: of ties at priority 2 it runs first. */
    check(write_text(ORDER "arm", "1"), "meshfwd_order watches at priority 2 too");

    ordinary_frames("with the hooks");
    multicast();
    unicast();
    short_frames();
    high_index();

    check_int(module_unload("meshfwd_filter"), 0, "meshfwd_filter unloads");
    check_int(log_lines("meshfwd filter", last, sizeof(last), &level), 4,
              "one more log line at unload");
    check_str(last, "meshfwd filter exit", "the unload line");
    check_int(level, 5, "the unload line takes the default level (5)");
    default_level(4);
    after_unload();
    return rig_failed;
}
