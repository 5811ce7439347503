// wsc_profile_tool: a backhaul WSC credential for the Wi-Fi driver.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t WSC_SSID_LEN = 32; // with terminator
constexpr size_t WSC_KEY_LEN = 64;  // with terminator
constexpr size_t WSC_MAC_LEN = 6;
constexpr size_t WSC_PROFILE_SIZE = 388;
constexpr size_t WAPP_REQ_LEN = 390;
constexpr uint8_t WAPP_REQ_WSC_PROFILE = 0x1B;
constexpr uint16_t OID_WAPP_EVENT = 0x0647;
constexpr uint16_t WEXT_OID_SET = 0x8000;

// Bytes 24 to 139 of the request, in this order.
struct wsc_cred {
    uint32_t ssid_len;
    char ssid[WSC_SSID_LEN];
    uint16_t auth;
    uint16_t encr;
    char key[WSC_KEY_LEN];
    uint16_t key_len;
    uint8_t bssid[WSC_MAC_LEN];
    uint8_t key_idx;
    uint8_t role;
};

struct wsc_profile {
    int32_t ifindex;
    wsc_cred cred;
};

int wsc_mac_is_valid(const char *text);
size_t wsc_mac_to_bytes(const char *text, uint8_t *out, size_t count);
void wsc_profile_print(const wsc_profile &p);
// The 390-byte driver request, little-endian whatever the host.
void wsc_pack_request(const wsc_profile &p, size_t size, uint8_t (&req)[WAPP_REQ_LEN]);
int send_wapp_req(const char *ifname, const wsc_profile &p, size_t size);
int wext_set_oid(const char *ifname, uint16_t oid, const uint8_t *data, size_t len);
