// Vendor IE, probe-response IE, probe-request filter and busy time.
#include <cstdio>
#include <cstring>

#include "hexdigit.h"
#include "qx_wifi_ctl.h"

namespace {

constexpr uint16_t OID_VENDOR_IE = 0x1200;
constexpr uint16_t OID_VENDOR_IE_CLEAN = 0x1201;
constexpr uint16_t OID_PROBERESP_IE = 0x1204;
constexpr uint16_t OID_PROBERESP_CLEAR = 0x1205;
constexpr uint16_t OID_PROBERX_OUI = 0x1220;
constexpr uint16_t OID_BUSY_TIME = 0x069D;

constexpr size_t IE_BUF_LEN = 512;
constexpr size_t VSIE_LEN = 256;
constexpr size_t MAC_LEN = 6;
constexpr size_t PROBERESP_HDR = MAC_LEN + 1; // address and band index

// The driver answers busy time with one byte, but a get does not tell it
// the buffer size: leave room so a longer answer cannot run over the stack.
constexpr size_t BUSY_BUF_LEN = 256;

struct band_map {
    const char *ifname;
    uint8_t band;
};
constexpr band_map bands[] = {{"wl1", 0}, {"wl0", 1}};

bool usage_short(int argc, int need)
{
    if (argc >= need)
        return false;
    qx_wifi_print_help();
    return true;
}

} // namespace

// An odd trailing digit is dropped and text past the capacity ignored; any
// invalid digit makes the whole text worth nothing.
size_t hex_to_bytes(const char *text, uint8_t *out, size_t capacity)
{
    size_t n = strlen(text) / 2;
    if (n > capacity)
        n = capacity;
    for (size_t i = 0; i < n; i++) {
        int hi = hex_digit(text[2 * i]);
        int lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return 0;
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return n;
}

int qx_wifi_agrv_vendorie(int argc, char **argv)
{
    if (usage_short(argc, 2))
        return -1;
    uint8_t ie[IE_BUF_LEN] = {};
    size_t n = hex_to_bytes(argv[1], ie, sizeof(ie));
    qx_wifi_set_oid(argv[0], OID_VENDOR_IE, ie, static_cast<uint16_t>(n));
    return 0;
}

int qx_wifi_agrv_vendorie_clean(int argc, char **argv)
{
    if (usage_short(argc, 1))
        return -1;
    qx_wifi_set_oid(argv[0], OID_VENDOR_IE_CLEAN, nullptr, 0);
    return 0;
}

int qx_wifi_agrv_showie(int argc, char **)
{
    if (usage_short(argc, 1))
        return -1;
    if (qx_wifi_debug & QX_DBG_NOTICE)
        printf("%s(%d): not support yet!\n", "qx_wifi_agrv_showie", 651);
    return 0;
}

int qx_wifi_agrv_vsie_proberesp(int argc, char **argv)
{
    if (usage_short(argc, 3))
        return -1;
    uint8_t msg[IE_BUF_LEN] = {};
    uint8_t ie[VSIE_LEN] = {};

    hex_to_bytes(argv[1], msg, MAC_LEN);
    const band_map *band = nullptr;
    for (const band_map &b : bands)
        if (strcmp(argv[0], b.ifname) == 0)
            band = &b;
    if (!band) {
        puts("Unkown ifname,need wl0 or wl1");
        return -1;
    }
    msg[MAC_LEN] = band->band;

    if (strcmp(argv[2], "0") == 0) {
        qx_wifi_set_oid(argv[0], OID_PROBERESP_CLEAR, msg, PROBERESP_HDR);
        return 0;
    }
    size_t n = hex_to_bytes(argv[2], ie, sizeof(ie));
    memcpy(msg + PROBERESP_HDR, ie, n);
    qx_wifi_set_oid(argv[0], OID_PROBERESP_IE, msg, static_cast<uint16_t>(PROBERESP_HDR + n));
    return 0;
}

int qx_wifi_agrv_vsie_proberx(int argc, char **argv)
{
    if (usage_short(argc, 2))
        return -1;
    if (strcmp(argv[1], "0") == 0) {
        qx_wifi_set_oid(argv[0], OID_PROBERX_OUI, nullptr, 0);
        return 0;
    }
    uint8_t oui[VSIE_LEN] = {};
    size_t n = hex_to_bytes(argv[1], oui, sizeof(oui));
    qx_wifi_set_oid(argv[0], OID_PROBERX_OUI, oui, static_cast<uint16_t>(n));
    return 0;
}

int qx_wifi_agrv_busy_time(int argc, char **argv)
{
    if (usage_short(argc, 1))
        return -1;
    uint8_t busy[BUSY_BUF_LEN] = {};
    uint16_t len = 0;
    qx_wifi_get_oid(argv[0], OID_BUSY_TIME, busy, &len);
    printf("%d\n", busy[0]);
    return 0;
}
