/* Forwarding rate of ordinary frames (60-byte IPv4/UDP, a1 -> b1 across
 * br0) without and with meshfwd_filter, in alternating rounds of one boot.
 * Prints one "BENCH" line of figures; its checks only make sure every frame
 * crossed and the module came and went, never how fast. */
#define _GNU_SOURCE
#include <stdlib.h>

#include "bridge_rig.h"
#include "check.h"

#define MOD_KO "/lib/modules/project/meshfwd_filter.ko"
#define PAIRS 8       /* rounds without and with, order swapped each pair */
#define ROUND_MS 80
#define BATCH 64

static long rx_packets(const char *ifname)
{
    char path[80], text[32] = "";
    FILE *f;

    snprintf(path, sizeof(path), "/sys/class/net/%s/statistics/rx_packets", ifname);
    f = fopen(path, "r");
    if (!f)
        return -1;
    if (!fgets(text, sizeof(text), f))
        text[0] = 0;
    fclose(f);
    return strtol(text, NULL, 10);
}

static int set_loaded(int on)
{
    return on ? module_load(MOD_KO) : module_unload("meshfwd_filter");
}

static void frame_udp(unsigned char *f, const unsigned char dst[6], const unsigned char src[6])
{
    static const unsigned char ip[] = {
        0x45, 0x00, 0x00, 0x2e, 0x00, 0x01, 0x40, 0x00, 0x40, 0x11, 0x00, 0x00,
        192, 0, 2, 1, 192, 0, 2, 2,
        0x30, 0x39, 0x30, 0x39, 0x00, 0x1a, 0x00, 0x00,
    };
    memset(f, 0x42, 60);
    memcpy(f, dst, 6);
    memcpy(f + 6, src, 6);
    f[12] = 0x08;
    f[13] = 0x00;
    memcpy(f + 14, ip, sizeof(ip));
}

/* Frames sent in ms milliseconds, and how many reached b1. */
static long round_of(int fd, const unsigned char *f, double ms, double *took, long *arrived)
{
    struct mmsghdr m[BATCH];
    struct iovec iov = { (void *)f, 60 };
    long before = rx_packets("b1"), sent = 0;
    double t0 = now_ms(), t;
    int n;

    memset(m, 0, sizeof(m));
    for (int i = 0; i < BATCH; i++) {
        m[i].msg_hdr.msg_iov = &iov;
        m[i].msg_hdr.msg_iovlen = 1;
    }
    do {
        n = sendmmsg(fd, m, BATCH, 0);
        if (n < 0)
            break;
        sent += n;
        t = now_ms();
    } while (t - t0 < ms);
    *took = now_ms() - t0;
    *arrived = rx_packets("b1") - before;
    return sent;
}

static int cmp_double(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(void)
{
    static const char *const ports[] = { "a", "b" };
    unsigned char f[60], a1mac[6], b1mac[6];
    long sent[2] = { 0, 0 }, arrived[2] = { 0, 0 }, s, n, got;
    double took[2] = { 0, 0 }, t, rate[2], pair[2], ratio[PAIRS];
    int fd, on, loaded = 0;

    setvbuf(stdout, NULL, _IOLBF, 0);
    if (!check_int(bridge_setup(ports, 2), 0, "bridge br0 with ports a0, b0"))
        return 1;
    fd = raw_open("a1", 0);
    if (!check(fd >= 0 && mac_of("a1", a1mac) == 0 && mac_of("b1", b1mac) == 0,
               "a sender on a1, the MACs of a1 and b1"))
        return 1;

    /* br0 learns b1 behind b0, so each frame takes one forwarding hop. */
    frame_udp(f, (const unsigned char *)"\xff\xff\xff\xff\xff\xff", b1mac);
    s = raw_open("b1", 0);
    check(s >= 0 && send(s, f, 60, 0) == 60, "b1 announces itself");
    if (s >= 0)
        close(s);
    frame_udp(f, b1mac, a1mac);

    /* Both paths once before measuring (qemu translates code on first use). */
    check_int(set_loaded(1), 0, "meshfwd_filter loads");
    round_of(fd, f, ROUND_MS / 2, &t, &got);
    check_int(set_loaded(0), 0, "meshfwd_filter unloads");
    round_of(fd, f, ROUND_MS / 2, &t, &got);

    for (int k = 0; k < PAIRS; k++) {
        for (int j = 0; j < 2; j++) {
            on = k & 1 ? !j : j;
            if (on != loaded && set_loaded(on))
                return check(0, "meshfwd_filter %s", on ? "loads" : "unloads"), 1;
            loaded = on;
            n = round_of(fd, f, ROUND_MS, &t, &got);
            sent[on] += n;
            took[on] += t;
            arrived[on] += got;
            pair[on] = n / t;
        }
        ratio[k] = pair[1] / pair[0];
    }
    for (on = 0; on < 2; on++) {
        /* b1 may also see a stray frame of the kernel's own. */
        check(sent[on] > 0 && arrived[on] >= sent[on],
              "%s the module every frame crossed (%ld sent, %ld arrived)",
              on ? "with" : "without", sent[on], arrived[on]);
        rate[on] = sent[on] / (took[on] / 1e3);
    }
    /* The median of the paired rounds, as other load on the host comes
     * and goes: single rounds stray far. */
    qsort(ratio, PAIRS, sizeof(ratio[0]), cmp_double);
    printf("BENCH meshfwd_filter: bridge forwarding of 60-byte IPv4 frames: "
           "without %.0f frames/s, with %.0f frames/s; with/without, median of "
           "%d paired %d ms rounds: %.3f (%.3f to %.3f)\n", rate[0], rate[1], PAIRS,
           ROUND_MS, (ratio[PAIRS / 2 - 1] + ratio[PAIRS / 2]) / 2, ratio[0],
           ratio[PAIRS - 1]);
    close(fd);
    return rig_failed;
}
