// qx_wifi_ctl: command table, driver OID access and the command handlers.
#pragma once

#include <cstddef>
#include <cstdint>

struct qx_wifi_cmd {
    const char *cmdname;
    int (*handler)(int argc, char **argv); // argv starts after the command word
    const char *usage;
};

// Fixed at build time; nothing changes it at run time.
constexpr uint32_t qx_wifi_debug = 7;
constexpr uint32_t QX_DBG_NOTICE = 0x01;   // "not support yet" notices
constexpr uint32_t QX_DBG_DISPATCH = 0x08; // one line per compared entry
constexpr uint32_t QX_DBG_BSS = 0x20;      // echo the BSS table

extern const qx_wifi_cmd qx_wifi_cmds[];

int qx_wifi_do_cmds(const char *name, int argc, char **argv);
void qx_wifi_print_help();

// Driver OID access (ioctl SIOCIWFIRSTPRIV + 1 on a struct iwreq).
constexpr uint16_t QX_OID_SET = 0x8000;
int qx_ioctl_open(const char *ifname);
int qx_ioctl_set_oid(int fd, const char *ifname, uint16_t oid, const void *data, uint16_t len);
int qx_ioctl_get_oid(int fd, const char *ifname, uint16_t oid, void *buf, uint16_t *outlen);
int qx_wifi_set_oid(const char *ifname, uint16_t oid, const void *data, uint16_t len);
int qx_wifi_get_oid(const char *ifname, uint16_t oid, void *buf, uint16_t *outlen);
void qx_hexdump(const char *title, const void *data, size_t len);

// Vendor IE and probe commands.
size_t hex_to_bytes(const char *text, uint8_t *out, size_t capacity);
int qx_wifi_agrv_vendorie(int argc, char **argv);
int qx_wifi_agrv_vendorie_clean(int argc, char **argv);
int qx_wifi_agrv_showie(int argc, char **argv);
int qx_wifi_agrv_vsie_proberesp(int argc, char **argv);
int qx_wifi_agrv_vsie_proberx(int argc, char **argv);
int qx_wifi_agrv_busy_time(int argc, char **argv);

// UCI wireless to the mesh BSS file.
int qx_uci_get_option(const char *section, const char *option, char *out, size_t size);
int qx_wifi_agrv_uci_get(int argc, char **argv);
int qx_wifi_agrv_uci2mesh(int argc, char **argv);

// Interface and bridge supervision.
int is_dev_downup(const char *ifname);
const char *find_bridge_of(const char *ifname);
int qx_wifi_agrv_devcheck(int argc, char **argv);
