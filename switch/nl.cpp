// One request/reply exchange and the attribute walk.
#include "nl.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace swport {

std::atomic<int32_t> g_family{-1};

namespace {

void wr16(uint8_t *p, uint16_t v) { std::memcpy(p, &v, 2); }
void wr32(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }

uint32_t rd32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

} // namespace

uint16_t rd16(const uint8_t *p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

uint16_t put_attr(Buf &buf, size_t off, uint16_t type, const void *data, uint16_t len)
{
    uint16_t alen = static_cast<uint16_t>(len + 4);
    wr16(buf.b + off, alen);
    wr16(buf.b + off + 2, type);
    std::memcpy(buf.b + off + 4, data, len);
    return alen;
}

int exchange(int fd, Buf &buf, size_t rcv_len, uint16_t type, uint8_t cmd,
             uint16_t flags, size_t payload_len)
{
    uint32_t msg_len = static_cast<uint32_t>(16 + payload_len);
    wr32(buf.b, msg_len);
    wr16(buf.b + 4, type);
    wr16(buf.b + 6, static_cast<uint16_t>(NLM_F_REQUEST | flags));
    wr32(buf.b + 8, 0);
    wr32(buf.b + 12, 0);
    buf.b[16] = cmd;
    buf.b[17] = 0;
    wr16(buf.b + 18, 0);

    ssize_t n = write(fd, buf.b, msg_len);
    if (n < static_cast<ssize_t>(msg_len))
        return -20;

    iovec iov{buf.b, rcv_len};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    n = recvmsg(fd, &mh, 0);
    if (n < 0)
        return -22;
    if (mh.msg_flags & MSG_TRUNC)
        return -23;
    if (n < 16 || rd32(buf.b) < 16 || rd32(buf.b) > static_cast<uint32_t>(n))
        return -24;
    if (rd16(buf.b + 4) == NLMSG_ERROR) {
        // An error message without its error field says nothing true.
        if (rd32(buf.b) < 20)
            return -24;
        // Negated modulo 2^32: the most negative code has no positive twin.
        errno = static_cast<int32_t>(0u - rd32(buf.b + 16));
        return -25;
    }
    return static_cast<int>(n);
}

AttrWalk::AttrWalk(const Buf &buf)
    : p(buf.b + kHdrLen), rem(static_cast<long>(rd32(buf.b)) - static_cast<long>(kHdrLen))
{
}

bool AttrWalk::next(uint16_t &type, const uint8_t *&payload, uint16_t &len)
{
    if (rem < 4)
        return false;
    uint16_t alen = rd16(p);
    if (alen < 4 || alen > rem)
        return false;
    type = rd16(p + 2);
    payload = p + 4;
    len = static_cast<uint16_t>(alen - 4);
    long step = (alen + 3) & ~3L;
    p += step;
    rem -= step;
    return true;
}

} // namespace swport
