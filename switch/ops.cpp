// The switch requests on a ready channel: table dumps, the WAN/LAN
// assignment and the port look-up of a MAC address.
#include "nl.h"

#include <linux/netlink.h>

#include <cerrno>
#include <cstring>

namespace swport {

namespace {

constexpr uint8_t kCmdFdb = 0;
constexpr uint8_t kCmdWanLan = 3;
constexpr uint16_t kAttrEntry = 1;
constexpr uint16_t kAttrWanLan = 2;
constexpr size_t kFdbLen = 10;

uint16_t family() { return static_cast<uint16_t>(g_family.load()); }

} // namespace

int read_list(int fd, uint8_t cmd, size_t entry_len, int max, void *out)
{
    Buf buf;
    int r = exchange(fd, buf, kBufLen, family(), cmd, NLM_F_DUMP, 4);
    if (r < 0)
        return r;
    auto *dst = static_cast<uint8_t *>(out);
    int count = 0;
    AttrWalk w(buf);
    uint16_t type, len;
    const uint8_t *pl;
    while (w.next(type, pl, len)) {
        if (len != entry_len)
            return -100;
        // A negative maximum copies nothing rather than everything.
        if (count >= max)
            return count;
        std::memcpy(dst + static_cast<size_t>(count) * entry_len, pl, entry_len);
        count++;
    }
    return count;
}

int find_port(int fd, const uint8_t mac[6])
{
    uint8_t entry[kFdbLen] = {};
    const uint16_t one = 1; // host order, like every field
    std::memcpy(entry, mac, 6);
    std::memcpy(entry + 6, &one, 2);

    Buf buf;
    uint16_t alen = put_attr(buf, kHdrLen, kAttrEntry, entry, sizeof(entry));
    int r = exchange(fd, buf, kSmallRecv, family(), kCmdFdb, 0, 4 + alen);
    if (r < 0)
        return r;
    AttrWalk w(buf);
    uint16_t type, len;
    const uint8_t *pl;
    if (!w.next(type, pl, len))
        return -123;
    if (len != kFdbLen)
        return -100;
    int16_t port;
    std::memcpy(&port, pl + 8, 2);
    return port < 5 ? port : -1;
}

int send_wan_lan(int fd, const int32_t vals[5])
{
    Buf buf;
    uint16_t alen = put_attr(buf, kHdrLen, kAttrWanLan, vals, 5 * sizeof(int32_t));
    int r = exchange(fd, buf, kSmallRecv, family(), kCmdWanLan, NLM_F_ACK, 4 + alen);
    if (r == -25 && errno == 0)
        return 0;
    if (r < 0)
        return r;
    return -124;
}

} // namespace swport
