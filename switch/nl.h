// Generic Netlink request/reply exchanges, usable on any datagram fd.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace swport {

constexpr size_t kHdrLen = 20;   // netlink header + generic header
constexpr size_t kBufLen = 4096; // the largest receive buffer
constexpr size_t kSmallRecv = 1024;

// Last resolved family identifier, or the resolution's error (-1 at first).
extern std::atomic<int32_t> g_family;

struct Buf {
    alignas(4) uint8_t b[kBufLen] = {};
};

// Fills the headers and attributes already in buf, sends, receives into the
// same buf. Returns the bytes received or -20, -22, -23, -24, -25.
int exchange(int fd, Buf &buf, size_t rcv_len, uint16_t type, uint8_t cmd,
             uint16_t flags, size_t payload_len);

// Writes one attribute at offset off; returns its length (header included).
uint16_t put_attr(Buf &buf, size_t off, uint16_t type, const void *data, uint16_t len);

// Walks the attributes of the first message in buf.
struct AttrWalk {
    const uint8_t *p;
    long rem;
    explicit AttrWalk(const Buf &buf);
    // Next whole attribute; false at the end or at a malformed one.
    bool next(uint16_t &type, const uint8_t *&payload, uint16_t &len);
};

uint16_t rd16(const uint8_t *p);

// Resolves "mt753x-wand": its identifier, or -10 / an exchange code.
int resolve_family(int fd);
// Resolves and stores the family; 0, or the error minus 1000.
int channel_ready(int fd);

// The operations on a ready channel.
int read_list(int fd, uint8_t cmd, size_t entry_len, int max, void *out);
int find_port(int fd, const uint8_t mac[6]);
// 0 once the driver acknowledged, else an error code.
int send_wan_lan(int fd, const int32_t vals[5]);

int wan_read(const char *path);
int wan_write(const char *path, int port);

} // namespace swport
