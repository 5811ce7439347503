// uci2mesh: the enabled interfaces of UCI wireless into the mesh BSS file.
#include <cstdio>
#include <cstring>
#include <memory>

#include "qx_wifi_ctl.h"

namespace {

constexpr const char *WTS_BSS_FILE = "/etc/map/wts_bss_info_config";
constexpr int WTS_BSS_MAX = 16;
constexpr size_t FIELD_LEN = 64;
constexpr size_t VAL_LEN = 256;
constexpr size_t DEV_LEN = 32;
constexpr const char *DEFAULT_KEY = "73051846";
constexpr const char *BAND_2G = "8x";
constexpr const char *BAND_5G = "11x";
constexpr const char *BAND_5G_EXTRA = "12x";

struct wts_bss_entry {
    uint8_t valid;
    char band[FIELD_LEN];
    char mac[FIELD_LEN];
    char ssid[FIELD_LEN];
    char auth[FIELD_LEN];
    char encr[FIELD_LEN];
    char key[FIELD_LEN];
    char bh[FIELD_LEN];
    char fh[FIELD_LEN];
    char hidden[FIELD_LEN];
    char vid[FIELD_LEN];
    char pvid[FIELD_LEN];
    char prio[FIELD_LEN];
};

wts_bss_entry wts_bss_table[WTS_BSS_MAX];

struct band_class {
    const char *band;
    const char *cls;
};
constexpr band_class band_classes[] = {{"2G", BAND_2G}, {"5G", BAND_5G}};

// WSC authentication and encryption type bits per UCI encryption value.
struct enc_map {
    const char *encryption;
    const char *auth;
    const char *encr;
};
constexpr enc_map enc_maps[] = {
    {"mixed-psk", "0x0022", "0x000c"},
    {"psk2", "0x0020", "0x0008"},
    {"psk2+ccmp", "0x0060", "0x0008"},
    {"ccmp", "0x0040", "0x0008"},
    {"wpapsk-mix", "0x0002", "0x000c"},
};
constexpr enc_map enc_open = {"", "0x0001", "0x0001"};

// A value as long as the field is cut so that it keeps its terminator: the
// file's reader expects shorter values anyway.
void field_set(char (&f)[FIELD_LEN], const char *v)
{
    size_t n = strnlen(v, FIELD_LEN - 1);
    memcpy(f, v, n);
    f[n] = '\0';
}

// The file's columns are space-separated.
void field_unspace(char (&f)[FIELD_LEN])
{
    for (char &c : f)
        if (c == ' ')
            c = 0x1A;
}

const enc_map &enc_lookup(const char *encryption)
{
    for (const enc_map &m : enc_maps)
        if (strcmp(m.encryption, encryption) == 0)
            return m;
    return enc_open;
}

bool fill_entry(int n, wts_bss_entry &e)
{
    char sec[32];
    char val[VAL_LEN];
    char dev[DEV_LEN];
    snprintf(sec, sizeof(sec), "@wifi-iface[%d]", n);

    qx_uci_get_option(sec, "disabled", val, sizeof(val));
    if (strcmp(val, "0") != 0)
        return false;
    qx_uci_get_option(sec, "device", dev, sizeof(dev));
    qx_uci_get_option(dev, "band", val, sizeof(val));
    const band_class *cls = nullptr;
    for (const band_class &b : band_classes)
        if (strcmp(val, b.band) == 0)
            cls = &b;
    if (!cls)
        return false;
    field_set(e.band, cls->cls);

    qx_uci_get_option(sec, "ssid", val, sizeof(val));
    field_set(e.ssid, val);
    field_unspace(e.ssid);

    qx_uci_get_option(sec, "encryption", val, sizeof(val));
    const enc_map &enc = enc_lookup(val);
    field_set(e.auth, enc.auth);
    field_set(e.encr, enc.encr);

    qx_uci_get_option(sec, "sae_password", val, sizeof(val));
    if (!val[0])
        qx_uci_get_option(sec, "key", val, sizeof(val));
    field_set(e.key, val[0] ? val : DEFAULT_KEY);
    field_unspace(e.key);

    qx_uci_get_option(sec, "hidden", val, sizeof(val));
    field_set(e.hidden, strcmp(val, "1") == 0 ? "hidden-Y" : "hidden-N");
    field_set(e.mac, "ff:ff:ff:ff:ff:ff");

    qx_uci_get_option(sec, "isbh", val, sizeof(val));
    bool bh = val[0] == '1';
    field_set(e.bh, bh ? "1" : "0");
    field_set(e.fh, bh ? "0" : "1");

    field_set(e.vid, "4095");
    field_set(e.pvid, "pvid");
    field_set(e.prio, "5");
    e.valid = 1;
    return true;
}

int write_line(FILE *f, int line, const wts_bss_entry &e, const char *band)
{
    return fprintf(f, "%d,%s %s %s %s %s %s %s %s %s %s %s %s\n", line, e.mac, band, e.ssid,
                   e.auth, e.encr, e.key, e.bh, e.fh, e.hidden, e.vid, e.pvid, e.prio);
}

int save_wts_cfg(const char *path, const wts_bss_entry (&table)[WTS_BSS_MAX])
{
    FILE *f = fopen(path, "w+");
    if (!f) {
        printf("%s(%d):fopen failed!\n", "save_wts_cfg", 440);
        return -1;
    }
    bool failed = false;
    int line = 0;
    for (const wts_bss_entry &e : table)
        if (e.valid && write_line(f, ++line, e, e.band) < 0)
            failed = true;
    // Every 5 GHz BSS again, after the first block.
    for (const wts_bss_entry &e : table)
        if (e.valid && strcmp(e.band, BAND_5G) == 0 && write_line(f, ++line, e, BAND_5G_EXTRA) < 0)
            failed = true;
    if (fclose(f) != 0 || failed) {
        printf("%s:write %s failed!\n", "save_wts_cfg", path);
        return -1;
    }
    printf("%s:wirte %s\n", "save_wts_cfg", path);
    return 0;
}

} // namespace

int qx_wifi_agrv_uci_get(int, char **)
{
    if (qx_wifi_debug & QX_DBG_NOTICE)
        printf("%s(%d): not support yet!\n", "qx_wifi_agrv_uci_get", 746);
    return 0;
}

int qx_wifi_agrv_uci2mesh(int argc, char **argv)
{
    const char *path = argc >= 1 ? argv[0] : WTS_BSS_FILE;

    memset(wts_bss_table, 0, sizeof(wts_bss_table));
    for (int n = 0; n < WTS_BSS_MAX; n++)
        fill_entry(n, wts_bss_table[n]);

    if (qx_wifi_debug & QX_DBG_BSS)
        for (int n = 0; n < WTS_BSS_MAX; n++)
            if (wts_bss_table[n].valid)
                write_line(stdout, n + 1, wts_bss_table[n], wts_bss_table[n].band);

    save_wts_cfg(path, wts_bss_table);
    return 0;
}
