// The driver's private OID ioctl, as a set request.
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <linux/wireless.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "wsc_profile.h"

namespace {

constexpr unsigned long WEXT_OID_IOCTL = SIOCIWFIRSTPRIV + 1;

struct sock_owner {
    int fd;
    ~sock_owner()
    {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

int wext_set_oid(const char *ifname, uint16_t oid, const uint8_t *data, size_t len)
{
    puts("wext_set_oid");
    sock_owner sock{socket(AF_INET, SOCK_DGRAM, 0)};
    if (sock.fd < 0) {
        puts("ioctl_sock failed!");
        return -1;
    }
    std::vector<uint8_t> copy(data, data + len);
    iwreq req{};
    memcpy(req.ifr_name, ifname, strnlen(ifname, IFNAMSIZ - 1));
    req.u.data.pointer = copy.data();
    req.u.data.length = static_cast<uint16_t>(len);
    req.u.data.flags = oid | WEXT_OID_SET;
    if (ioctl(sock.fd, WEXT_OID_IOCTL, &req) < 0) {
        printf("%s: oid=0x%x len (%zu) failed\n", "wext_set_oid", oid, len);
        return -1;
    }
    return 0;
}

int send_wapp_req(const char *ifname, const wsc_profile &p, size_t size)
{
    puts("send_wapp_req");
    uint8_t req[WAPP_REQ_LEN];
    wsc_pack_request(p, size, req);
    wext_set_oid(ifname, OID_WAPP_EVENT, req, sizeof(req));
    return 0;
}
