// The bus framing shared by the host libubus and ubusd: a message is a
// struct ubus_msghdr and one blob attribute holding the UBUS_ATTR_*
// attributes. Either side checks what it receives before it trusts it.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

extern "C" {
#include <libubox/blobmsg.h>
#include "ubusmsg.h"
}

namespace ubus_wire {

constexpr size_t HDR_LEN = sizeof(ubus_msghdr);
// The header and the blob attribute's own header: enough to size a message.
constexpr size_t HEAD_LEN = HDR_LEN + sizeof(blob_attr);
// Deeper nesting than JSON text from the platform ever makes is refused,
// so that recursive readers cannot be driven off their stack.
constexpr int MAX_DEPTH = 64;

constexpr std::array<blob_attr_info, UBUS_ATTR_MAX> make_policy()
{
    std::array<blob_attr_info, UBUS_ATTR_MAX> p{};
    p[UBUS_ATTR_STATUS].type = BLOB_ATTR_INT32;
    p[UBUS_ATTR_OBJPATH].type = BLOB_ATTR_STRING;
    p[UBUS_ATTR_OBJID].type = BLOB_ATTR_INT32;
    p[UBUS_ATTR_METHOD].type = BLOB_ATTR_STRING;
    p[UBUS_ATTR_OBJTYPE].type = BLOB_ATTR_INT32;
    p[UBUS_ATTR_SIGNATURE].type = BLOB_ATTR_NESTED;
    p[UBUS_ATTR_DATA].type = BLOB_ATTR_NESTED;
    p[UBUS_ATTR_TARGET].type = BLOB_ATTR_INT32;
    p[UBUS_ATTR_ACTIVE].type = BLOB_ATTR_INT8;
    p[UBUS_ATTR_NO_REPLY].type = BLOB_ATTR_INT8;
    p[UBUS_ATTR_SUBSCRIBERS].type = BLOB_ATTR_NESTED;
    p[UBUS_ATTR_USER].type = BLOB_ATTR_STRING;
    p[UBUS_ATTR_GROUP].type = BLOB_ATTR_STRING;
    return p;
}

inline constexpr std::array<blob_attr_info, UBUS_ATTR_MAX> POLICY = make_policy();

// seq and peer travel in network byte order, so that a client and a
// daemon of either build understand each other; the swap is its own inverse.
inline ubus_msghdr byte_order(ubus_msghdr hdr)
{
    hdr.seq = htons(hdr.seq);
    hdr.peer = htonl(hdr.peer);
    return hdr;
}

// A header as it goes out on the socket.
inline void put_head(uint8_t *dst, const ubus_msghdr &hdr)
{
    ubus_msghdr wire = byte_order(hdr);
    memcpy(dst, &wire, HDR_LEN);
}

inline ubus_msghdr get_head(const uint8_t *src)
{
    ubus_msghdr wire;
    memcpy(&wire, src, HDR_LEN);
    return byte_order(wire);
}

// Checks the first HEAD_LEN bytes of a message; on success gives its
// header and the length of its blob attribute (header included).
inline bool check_head(const uint8_t *head, ubus_msghdr *hdr, size_t *raw)
{
    blob_attr attr;
    *hdr = get_head(head);
    memcpy(&attr, head + HDR_LEN, sizeof(attr));
    if (hdr->version != 0)
        return false;
    *raw = blob_raw_len(&attr);
    return *raw >= sizeof(blob_attr) && blob_pad_len(&attr) <= UBUS_MAX_MSGLEN;
}

// Reads what a non-blocking socket has of one message: first HEAD_LEN
// bytes into head, then the blob attribute into the buffer that
// body.start(hdr, raw) sets up (body.data(), body.size() find it again).
// have counts the bytes so far and is 0 again once a message is whole.
// 1: whole; 0: not yet; -1: the peer ended or sent no message.
template <class Count, class Body>
int read_frame(int fd, uint8_t *head, Count &have, Body &body)
{
    for (;;) {
        uint8_t *dst;
        size_t want;
        if (have < HEAD_LEN) {
            dst = head + have;
            want = HEAD_LEN - have;
        } else {
            size_t got = have - HDR_LEN;
            dst = body.data() + got;
            want = body.size() - got;
        }
        if (want) {
            ssize_t n = recv(fd, dst, want, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return 0;
            if (n <= 0)
                return -1;
            bool head_done = have < HEAD_LEN && have + static_cast<size_t>(n) == HEAD_LEN;
            have += static_cast<Count>(n);
            if (head_done) {
                ubus_msghdr hdr;
                size_t raw;
                if (!check_head(head, &hdr, &raw))
                    return -1;
                uint8_t *b = body.start(hdr, raw);
                if (!b)
                    return -1;
                memcpy(b, head + HDR_LEN, sizeof(blob_attr));
            }
        }
        if (have >= HEAD_LEN && have == HDR_LEN + body.size()) {
            have = 0;
            return 1;
        }
    }
}

// tb: UBUS_ATTR_MAX entries; attributes of the wrong type are left out.
inline void parse(blob_attr *msg, blob_attr **tb)
{
    blob_parse_untrusted(msg, blob_raw_len(msg), tb, POLICY.data(), UBUS_ATTR_MAX);
}

// Whether len bytes at data are a well-formed run of blobmsg attributes,
// recursively: each with a name header when names is set (a table's
// members), any otherwise.
inline bool check_blobmsg(const void *data, size_t len, bool names, int depth = 0)
{
    if (depth > MAX_DEPTH)
        return false;
    auto *cur = static_cast<const blob_attr *>(data);
    size_t rem = len;
    while (rem > 0) {
        if (rem < sizeof(blob_attr))
            return false;
        size_t raw = blob_raw_len(cur);
        if (raw < sizeof(blob_attr) || raw > rem)
            return false;
        if (names && !blob_is_extended(cur))
            return false;
        // Empty names pass: JSON allows the key "".
        if (!blobmsg_check_attr_len(cur, false, rem))
            return false;
        int type = blobmsg_type(cur);
        if ((type == BLOBMSG_TYPE_ARRAY || type == BLOBMSG_TYPE_TABLE) &&
            !check_blobmsg(blobmsg_data(cur), blobmsg_data_len(cur),
                           type == BLOBMSG_TYPE_TABLE, depth + 1))
            return false;
        size_t pad = blob_pad_len(cur);
        if (pad >= rem)
            break;
        rem -= pad;
        cur = blob_next(cur);
    }
    return true;
}

// A message's DATA or SIGNATURE attribute: a table's members.
inline bool check_table(const blob_attr *attr)
{
    return check_blobmsg(blob_data(attr), blob_len(attr), true);
}

} // namespace ubus_wire
