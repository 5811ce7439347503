// Driver OID access: the Wi-Fi driver's private ioctl on a struct iwreq.
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <linux/sockios.h>
#include <linux/wireless.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "qx_wifi_ctl.h"
#include "sock.h"

namespace {

constexpr unsigned long QX_OID_IOCTL = SIOCIWFIRSTPRIV + 1;
constexpr size_t QX_HEXDUMP_MAX = 64;

struct free_deleter {
    void operator()(void *p) const { free(p); }
};

// A 16-character name fills the field without a terminator, as the
// kernel accepts it.
template <size_t N> void copy_ifname(char (&dst)[N], const char *name)
{
    memcpy(dst, name, strnlen(name, N));
}

} // namespace

int qx_ioctl_open(const char *ifname)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        printf("ioctl socket create failed! errno=%d!\n", errno);
        return -1;
    }
    qx_sock sock(fd);
    ifreq ifr{};
    copy_ifname(ifr.ifr_name, ifname);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        printf("ioctl to get the interface(%s) index failed! errno=%d!\n", ifname, errno);
        return -1;
    }
    sock.fd = -1; // the caller owns it now
    return fd;
}

int qx_ioctl_set_oid(int fd, const char *ifname, uint16_t oid, const void *data, uint16_t len)
{
    if (fd < 0 || !ifname) {
        printf("%s: NULL point\n", "qx_ioctl_set_oid");
        return -1;
    }
    iwreq req{};
    copy_ifname(req.ifr_name, ifname);

    std::unique_ptr<void, free_deleter> copy;
    if (len && data) {
        copy.reset(calloc(1, len));
        if (!copy)
            return -1;
        memcpy(copy.get(), data, len);
        req.u.data.pointer = copy.get();
        req.u.data.length = len;
    }
    req.u.data.flags = oid | QX_OID_SET;
    if (ioctl(fd, QX_OID_IOCTL, &req) < 0) {
        printf("%s: oid=0x%x failed", "qx_ioctl_set_oid", oid);
        return -1;
    }
    return 0;
}

int qx_ioctl_get_oid(int fd, const char *ifname, uint16_t oid, void *buf, uint16_t *outlen)
{
    if (fd < 0 || !buf || !ifname) {
        printf("%s: NULL point\n", "qx_ioctl_get_oid");
        return -1;
    }
    iwreq req{};
    copy_ifname(req.ifr_name, ifname);
    req.u.data.flags = oid;
    req.u.data.pointer = buf;
    if (ioctl(fd, QX_OID_IOCTL, &req) < 0) {
        printf("%s: oid=0x%x failed", "qx_ioctl_get_oid", oid);
        return -1;
    }
    if (outlen)
        *outlen = req.u.data.length;
    return 0;
}

int qx_wifi_set_oid(const char *ifname, uint16_t oid, const void *data, uint16_t len)
{
    if (!ifname) {
        puts("ifname or data is NULL");
        return -1;
    }
    qx_sock sock(qx_ioctl_open(ifname));
    if (sock.fd < 0)
        return -1;
    return qx_ioctl_set_oid(sock.fd, ifname, oid, data, len);
}

int qx_wifi_get_oid(const char *ifname, uint16_t oid, void *buf, uint16_t *outlen)
{
    if (!ifname || !buf) {
        puts("ifname or data is NULL");
        return -1;
    }
    qx_sock sock(qx_ioctl_open(ifname));
    if (sock.fd < 0)
        return -1;
    return qx_ioctl_get_oid(sock.fd, ifname, oid, buf, outlen);
}

void qx_hexdump(const char *title, const void *data, size_t len)
{
    printf("%s - hexdump(len=%lu):", title, static_cast<unsigned long>(len));
    if (!data) {
        printf(" [NULL]");
    } else {
        const auto *p = static_cast<const uint8_t *>(data);
        for (size_t i = 0; i < len && i < QX_HEXDUMP_MAX; i++) {
            if (i % 16 == 0)
                printf("\n");
            printf(" %02x", p[i]);
        }
    }
    printf("\n");
}
