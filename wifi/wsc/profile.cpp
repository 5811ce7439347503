// BSSID text, the profile's printout and its request layout.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "hexdigit.h"
#include "wsc_profile.h"

namespace {

constexpr size_t MAC_TEXT_LEN = 17;

// Request offsets.
constexpr size_t REQ_TYPE = 0;
constexpr size_t REQ_SIZE = 1;
constexpr size_t REQ_IFINDEX = 2;
constexpr size_t REQ_SSID_LEN = 24;
constexpr size_t REQ_SSID = 28;
constexpr size_t REQ_AUTH = 60;
constexpr size_t REQ_ENCR = 62;
constexpr size_t REQ_KEY = 64;
constexpr size_t REQ_KEY_LEN = 128;
constexpr size_t REQ_BSSID = 130;
constexpr size_t REQ_KEY_IDX = 136;
constexpr size_t REQ_ROLE = 138;

bool hex_pair(const char *p)
{
    return hex_digit(p[0]) >= 0 && hex_digit(p[1]) >= 0;
}

void put_le16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t *p, uint32_t v)
{
    put_le16(p, static_cast<uint16_t>(v));
    put_le16(p + 2, static_cast<uint16_t>(v >> 16));
}

} // namespace

int wsc_mac_is_valid(const char *text)
{
    if (strlen(text) != MAC_TEXT_LEN)
        return -1;
    for (size_t i = 0; i < MAC_TEXT_LEN; i += 3) {
        if (!hex_pair(text + i))
            return -1;
        if (i + 2 < MAC_TEXT_LEN && text[i + 2] != ':')
            return -1;
    }
    return 0;
}

size_t wsc_mac_to_bytes(const char *text, uint8_t *out, size_t count)
{
    size_t n = 0;
    for (const char *p = text;; p++) {
        if (!hex_pair(p)) {
            errno = EINVAL;
            return 0;
        }
        if (n == count) {
            errno = E2BIG;
            return 0;
        }
        out[n++] = static_cast<uint8_t>(hex_digit(p[0]) * 16 + hex_digit(p[1]));
        p += 2;
        if (!*p)
            return n;
        if (*p != ':') {
            errno = EINVAL;
            return 0;
        }
    }
}

void wsc_profile_print(const wsc_profile &p)
{
    const wsc_cred &c = p.cred;
    puts("Wsc profile info:");
    printf("  ifindex: %d\n", p.ifindex);
    printf("  Ssid[%u]: %s\n", c.ssid_len, c.ssid);
    printf("  AuthType: %u\n", c.auth);
    printf("  EncrType: %u\n", c.encr);
    printf("  Key[%u:%u]: %s\n", c.key_idx, c.key_len, c.key);
    printf("  Bssid: %02X:%02X:%02X:%02X:%02X:%02X.\n", c.bssid[0], c.bssid[1], c.bssid[2],
           c.bssid[3], c.bssid[4], c.bssid[5]);
    printf("  Role: %u\n", c.role);
}

void wsc_pack_request(const wsc_profile &p, size_t size, uint8_t (&req)[WAPP_REQ_LEN])
{
    const wsc_cred &c = p.cred;
    memset(req, 0, sizeof(req));
    req[REQ_TYPE] = WAPP_REQ_WSC_PROFILE;
    req[REQ_SIZE] = static_cast<uint8_t>(size);
    put_le32(req + REQ_IFINDEX, static_cast<uint32_t>(p.ifindex));
    put_le32(req + REQ_SSID_LEN, c.ssid_len);
    memcpy(req + REQ_SSID, c.ssid, WSC_SSID_LEN);
    put_le16(req + REQ_AUTH, c.auth);
    put_le16(req + REQ_ENCR, c.encr);
    memcpy(req + REQ_KEY, c.key, WSC_KEY_LEN);
    put_le16(req + REQ_KEY_LEN, c.key_len);
    memcpy(req + REQ_BSSID, c.bssid, WSC_MAC_LEN);
    req[REQ_KEY_IDX] = c.key_idx;
    req[REQ_ROLE] = c.role;
}
