/* A bridge of veth ports over rtnetlink, and raw frames through it, for
 * the meshfwd guest programs. Port "x0" sits in the bridge, its peer "x1"
 * outside: frames sent on x1 enter the bridge at x0. */
#ifndef BRIDGE_RIG_H
#define BRIDGE_RIG_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/if_packet.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

struct nl_req {
    struct nlmsghdr h;
    struct ifinfomsg i;
    char attrs[512];
};

static inline struct rtattr *nl_put(struct nl_req *r, int type, const void *data, size_t len)
{
    struct rtattr *a = (struct rtattr *)((char *)r + NLMSG_ALIGN(r->h.nlmsg_len));

    a->rta_type = type;
    a->rta_len = RTA_LENGTH(len);
    if (len)
        memcpy(RTA_DATA(a), data, len);
    r->h.nlmsg_len = NLMSG_ALIGN(r->h.nlmsg_len) + RTA_ALIGN(a->rta_len);
    return a;
}

/* Closes a nest opened by nl_put(.., NULL, 0) or with a header. */
static inline void nl_nest_end(struct nl_req *r, struct rtattr *a)
{
    a->rta_len = (char *)r + r->h.nlmsg_len - (char *)a;
}

/* 0, or the kernel's negative error. */
static inline int nl_talk(struct nl_req *r)
{
    struct { struct nlmsghdr h; struct nlmsgerr e; char more[256]; } ack;
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    ssize_t n;

    if (fd < 0)
        return -errno;
    r->h.nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
    if (send(fd, r, r->h.nlmsg_len, 0) < 0) {
        close(fd);
        return -errno;
    }
    n = recv(fd, &ack, sizeof(ack), 0);
    close(fd);
    if (n < (ssize_t)(sizeof(ack.h) + sizeof(ack.e)) || ack.h.nlmsg_type != NLMSG_ERROR)
        return -EPROTO;
    return ack.e.error;
}

static inline void nl_start(struct nl_req *r, int type, int flags)
{
    memset(r, 0, sizeof(*r));
    r->h.nlmsg_len = NLMSG_LENGTH(sizeof(r->i));
    r->h.nlmsg_type = type;
    r->h.nlmsg_flags = flags;
    r->i.ifi_family = AF_UNSPEC;
}

/* A device of a kind ("bridge", "veth"); a veth gets its peer's name. */
static inline int link_add(const char *name, const char *kind, const char *peer)
{
    struct nl_req r;
    struct rtattr *info, *data, *p;
    struct ifinfomsg none = { 0 };

    nl_start(&r, RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
    nl_put(&r, IFLA_IFNAME, name, strlen(name) + 1);
    info = nl_put(&r, IFLA_LINKINFO, NULL, 0);
    nl_put(&r, IFLA_INFO_KIND, kind, strlen(kind));
    if (peer) {
        data = nl_put(&r, IFLA_INFO_DATA, NULL, 0);
        p = nl_put(&r, VETH_INFO_PEER, &none, sizeof(none));
        nl_put(&r, IFLA_IFNAME, peer, strlen(peer) + 1);
        nl_nest_end(&r, p);
        nl_nest_end(&r, data);
    }
    nl_nest_end(&r, info);
    return nl_talk(&r);
}

static inline int link_del(const char *name)
{
    struct nl_req r;

    nl_start(&r, RTM_DELLINK, 0);
    nl_put(&r, IFLA_IFNAME, name, strlen(name) + 1);
    return nl_talk(&r);
}

/* Sets the flags in mask to those in on; master > 0 enslaves. */
static inline int link_set(const char *name, unsigned on, unsigned mask, int master)
{
    struct nl_req r;

    nl_start(&r, RTM_NEWLINK, 0);
    r.i.ifi_index = if_nametoindex(name);
    r.i.ifi_flags = on;
    r.i.ifi_change = mask;
    if (!r.i.ifi_index)
        return -ENODEV;
    if (master > 0)
        nl_put(&r, IFLA_MASTER, &master, sizeof(master));
    return nl_talk(&r);
}

static inline int ifidx(const char *name)
{
    return (int)if_nametoindex(name);
}

/* The bridge "br0" with a veth port per name in ports (each "x" gives
 * x0 in the bridge and x1 outside); everything up. 0 or a negative error. */
static inline int bridge_setup(const char *const *ports, int n)
{
    char in[IFNAMSIZ], out[IFNAMSIZ];
    int fd, err, i;

    /* No IPv6 chatter among the frames we count. */
    fd = open("/proc/sys/net/ipv6/conf/default/disable_ipv6", O_WRONLY);
    if (fd >= 0) {
        if (write(fd, "1", 1) != 1)
            perror("disable_ipv6");
        close(fd);
    }
    if ((err = link_add("br0", "bridge", NULL)))
        return err;
    for (i = 0; i < n; i++) {
        snprintf(in, sizeof(in), "%s0", ports[i]);
        snprintf(out, sizeof(out), "%s1", ports[i]);
        if ((err = link_add(in, "veth", out)) ||
            (err = link_set(in, IFF_UP, IFF_UP, ifidx("br0"))) ||
            (err = link_set(out, IFF_UP, IFF_UP, 0)))
            return err;
    }
    return link_set("br0", IFF_UP, IFF_UP, 0);
}

static inline int mac_of(const char *name, unsigned char mac[6])
{
    char path[64], text[32];
    FILE *f;
    int ok;

    snprintf(path, sizeof(path), "/sys/class/net/%s/address", name);
    f = fopen(path, "r");
    if (!f)
        return -1;
    ok = fgets(text, sizeof(text), f) &&
         sscanf(text, "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &mac[0], &mac[1], &mac[2],
                &mac[3], &mac[4], &mac[5]) == 6;
    fclose(f);
    return ok ? 0 : -1;
}

/* AF_PACKET on one interface: protocol ETH_P_ALL to capture, 0 to send only. */
static inline int raw_open(const char *name, int proto)
{
    struct sockaddr_ll a = { 0 };
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(proto));

    if (fd < 0)
        return -1;
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(proto);
    a.sll_ifindex = ifidx(name);
    if (!a.sll_ifindex || bind(fd, (struct sockaddr *)&a, sizeof(a))) {
        close(fd);
        return -1;
    }
    return fd;
}

/* One received frame, outgoing copies skipped: its length, 0 after
 * timeout_ms without one, -1 on error. */
static inline ssize_t raw_recv(int fd, unsigned char *buf, size_t size, int timeout_ms)
{
    struct pollfd p = { fd, POLLIN, 0 };
    struct sockaddr_ll from;
    socklen_t fl;
    ssize_t n;

    for (;;) {
        if (poll(&p, 1, timeout_ms) <= 0)
            return 0;
        fl = sizeof(from);
        n = recvfrom(fd, buf, size, MSG_DONTWAIT, (struct sockaddr *)&from, &fl);
        if (n < 0)
            return errno == EAGAIN ? 0 : -1;
        if (from.sll_pkttype != PACKET_OUTGOING)
            return n;
    }
}

#endif
