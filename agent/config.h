// Settings and identities mirrored from UCI "ovimar" and "zorvex_group".
#pragma once

#include <cstddef>
#include <memory>

struct uci_context;
struct uci_package;
struct uci_section;

// Owns a context; freeing it also unloads every package it loaded.
struct uci_ctx_free {
    void operator()(uci_context *c) const;
};
using uci_ctx_ptr = std::unique_ptr<uci_context, uci_ctx_free>;

// The first section of that name, in file order; nullptr if none.
uci_section *uci_find_section(uci_package *p, const char *name);
// Finds the section of that name, or adds it with the name as its type.
uci_section *uci_section_get_or_add(uci_context *ctx, uci_package *p, const char *name);

struct config_server {
    char domain[128];
};

// Transfers making no progress for this long end (https.stall_timeout).
constexpr int HTTPS_STALL_TIMEOUT_DEFAULT = 30;

struct config_https {
    int port;
    int connect_timeout;
    int stall_timeout;  // seconds; missing or not above 0: the default
    bool verify;        // https.verify '1': check the peer and its name
    char ca_file[128];  // https.ca_file: CA bundle used when verifying
};

struct config_auth {
    char path[128];
    char cwmp_version[64];
    char method[32];
};

struct config_get_mqtt_server {
    char path[128];
    char cwmp_version[64];
    char method[32];
    int retries;
};

constexpr char DEFAULT_CA_FILE[] = "/etc/cacrt.pem";

struct config_mqtt {
    int default_qos;
    bool default_retain;
    char ca_file[256];   // UCI mqtt.ca_file, DEFAULT_CA_FILE when unset
    bool verify_host;    // UCI mqtt.verify_host '1': check the broker's name
    int connect_timeout; // s: name lookup, and TCP connect, each; not above 0: the default
};

constexpr int MQTT_CONNECT_TIMEOUT_DEFAULT = 5;
// A lookup or connect that takes minutes is as good as failed.
constexpr int MQTT_CONNECT_TIMEOUT_MAX = 300;

constexpr size_t DEV_ID_LEN = 64;
constexpr size_t SECRET_LEN = 128;
constexpr size_t DEV_STATUS_BLOCK_LEN = DEV_ID_LEN + SECRET_LEN;

// devId and secret travel as one 192-byte block.
struct dev_status {
    char devId[DEV_ID_LEN];
    char secret[SECRET_LEN];
    int connected_times;
};

struct bind_info {
    char devId[44];
    char regCode[64];
    char AppId[32];
};

extern struct config_server g_config_server;
extern struct config_https g_config_https;
extern struct config_auth g_config_auth;
extern struct config_get_mqtt_server g_config_get_mqtt_server;
extern struct config_mqtt g_config_mqtt;
extern struct dev_status g_dev_status;
extern struct bind_info g_bind_info;

char *uci_get_value(const char *package, const char *section, const char *option,
                    char *buf, int size);
void uci_set_option(struct uci_context *ctx, struct uci_section *s, const char *option,
                    const char *value);
int uci_delete_section(const char *package, const char *section);
// The option as atoi reads it; 0 when missing.
int uci_get_int(const char *package, const char *section, const char *option);
// ovimar.section.option within lo..hi: missing, the fallback; set but out
// of range, the nearest bound (the fallback for 0 or less, or for what is
// no number), with a warning naming the value kept.
int uci_get_bounded(const char *section, const char *option, int lo, int hi, int fallback);

void config_load();
void bind_info_load();
int dev_status_store(const void *block);
void dev_status_get(void *dst);
void dev_status_clear();
void connected_times_bump();
