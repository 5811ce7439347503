#include "config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <uci.h>

#include "log.h"

struct config_server g_config_server;
struct config_https g_config_https;
struct config_auth g_config_auth;
struct config_get_mqtt_server g_config_get_mqtt_server;
struct config_mqtt g_config_mqtt;
struct dev_status g_dev_status;
struct bind_info g_bind_info;

static_assert(offsetof(dev_status, secret) == DEV_ID_LEN, "credential block layout");

namespace {

constexpr size_t SECTION_NAME_MAX = 256;
constexpr size_t LOOKUP_MAX = 64;


// Items joined by one space; cut like a single value when too long.
void join_list(uci_list *list, char *buf, size_t size)
{
    size_t len = 0;
    bool first = true;
    uci_element *e;
    uci_foreach_element(list, e) {
        // Every item after the first gets its space, empty items too.
        int n = snprintf(buf + len, size - len, "%s%s", first ? "" : " ", e->name);
        if (n < 0 || static_cast<size_t>(n) >= size - len)
            return;
        len += static_cast<size_t>(n);
        first = false;
    }
}

// Read straight into the cleared field: a missing option leaves it empty.
template <size_t N> void read_text(const char *section, const char *option, char (&dst)[N])
{
    memset(dst, 0, N);
    uci_get_value("ovimar", section, option, dst, static_cast<int>(N));
}

int read_int(const char *section, const char *option)
{
    return uci_get_int("ovimar", section, option);
}

} // namespace

int uci_get_int(const char *package, const char *section, const char *option)
{
    char buf[16];
    memset(buf, 0, sizeof(buf));
    uci_get_value(package, section, option, buf, sizeof(buf));
    return atoi(buf);
}

int uci_get_bounded(const char *section, const char *option, int lo, int hi, int fallback)
{
    char buf[32];
    memset(buf, 0, sizeof(buf));
    if (!uci_get_value("ovimar", section, option, buf, sizeof(buf)) || !buf[0])
        return fallback;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(buf, &end, 10);
    int kept = fallback;
    // Not a number at all, or past 64 bits: the fallback.
    bool number = end != buf && !*end && !errno;
    if (!number)
        kept = fallback;
    else if (v < lo)
        kept = v <= 0 ? fallback : lo;
    else if (v > hi)
        kept = hi;
    else
        return static_cast<int>(v);
    ovimar_log(OVIMAR_LOG_WARNING, "ovimar.%s.%s '%s' is not within %d..%d: using %d\n", section,
               option, buf, lo, hi, kept);
    return kept;
}

void uci_ctx_free::operator()(uci_context *c) const
{
    uci_free_context(c);
}

uci_section *uci_find_section(uci_package *p, const char *name)
{
    uci_element *e;
    uci_foreach_element(&p->sections, e) {
        if (!strncmp(e->name, name, SECTION_NAME_MAX))
            return uci_to_section(e);
    }
    return nullptr;
}

// The agent's own sections are named after their type.
uci_section *uci_section_get_or_add(uci_context *ctx, uci_package *p, const char *name)
{
    if (uci_section *s = uci_find_section(p, name))
        return s;
    uci_ptr ptr;
    memset(&ptr, 0, sizeof(ptr));
    ptr.p = p;
    ptr.section = name;
    ptr.value = name;
    if (uci_set(ctx, &ptr) != UCI_OK)
        return nullptr;
    return ptr.s;
}

char *uci_get_value(const char *package, const char *section, const char *option,
                    char *buf, int size)
{
    if (!buf || size <= 0)
        return nullptr;

    uci_ctx_ptr ctx(uci_alloc_context());
    uci_package *p = nullptr;
    if (!ctx || uci_load(ctx.get(), package, &p) != UCI_OK || !p) {
        ovimar_log(OVIMAR_LOG_DEBUG, "DEBUG: uci_load %s failed!\n", package);
        return nullptr;
    }

    uci_section *s = uci_find_section(p, section);
    if (!s)
        return buf;

    uci_element *e = nullptr;
    if (uci_lookup_next(ctx.get(), &e, &s->options, option) != UCI_OK || !e)
        return nullptr;

    uci_option *o = uci_to_option(e);
    switch (o->type) {
    case UCI_TYPE_STRING:
        snprintf(buf, static_cast<size_t>(size), "%s", o->v.string);
        ovimar_log(OVIMAR_LOG_DEBUG, "DEBUG: get uci option %s.%s.%s = %s\n", package,
                   section, option, log_secret_name(option) ? "***" : buf);
        return buf;
    case UCI_TYPE_LIST:
        join_list(&o->v.list, buf, static_cast<size_t>(size));
        ovimar_log(OVIMAR_LOG_DEBUG, "DEBUG: get uci list %s.%s.%s = %s\n", package, section,
                   option, log_secret_name(option) ? "***" : buf);
        return buf;
    default:
        return nullptr;
    }
}

void uci_set_option(struct uci_context *ctx, struct uci_section *s, const char *option,
                    const char *value)
{
    uci_ptr ptr;
    memset(&ptr, 0, sizeof(ptr));
    ptr.p = s->package;
    ptr.s = s;
    ptr.option = option;
    ptr.value = value;
    uci_set(ctx, &ptr);
}

int uci_delete_section(const char *package, const char *section)
{
    uci_ctx_ptr ctx(uci_alloc_context());
    if (!ctx) {
        ovimar_log(OVIMAR_LOG_ERR, "uci alloc context failed\n");
        return -1;
    }
    uci_package *p = nullptr;
    if (uci_load(ctx.get(), package, &p) != UCI_OK || !p) {
        ovimar_log(OVIMAR_LOG_ERR, "Failed to load package %s\n", package);
        return 0;
    }

    // A cut name could resolve to some other section: refuse it instead.
    char path[LOOKUP_MAX];
    int n = snprintf(path, sizeof(path), "%s.%s", package, section);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) {
        ovimar_log(OVIMAR_LOG_ERR, "uci section name too long: %s.%s\n", package, section);
        return -1;
    }

    uci_ptr ptr;
    memset(&ptr, 0, sizeof(ptr));
    if (uci_lookup_ptr(ctx.get(), &ptr, path, true) != UCI_OK || !ptr.s)
        return 0;
    uci_delete(ctx.get(), &ptr);
    // Identities that outlive an unbind in flash must not pass as deleted.
    if (uci_commit(ctx.get(), &p, false) != UCI_OK) {
        ovimar_log(OVIMAR_LOG_ERR, "uci commit %s failed\n", package);
        return -1;
    }
    return 0;
}

void config_load()
{
    read_text("server", "domain", g_config_server.domain);

    g_config_https.port = read_int("https", "port");
    g_config_https.connect_timeout = read_int("https", "connect_timeout");
    g_config_https.stall_timeout = read_int("https", "stall_timeout");
    g_config_https.verify = read_int("https", "verify") == 1;
    read_text("https", "ca_file", g_config_https.ca_file);

    read_text("auth", "path", g_config_auth.path);
    read_text("auth", "cwmp_version", g_config_auth.cwmp_version);
    read_text("auth", "method", g_config_auth.method);

    auto &gs = g_config_get_mqtt_server;
    read_text("get_mqtt_server", "path", gs.path);
    read_text("get_mqtt_server", "cwmp_version", gs.cwmp_version);
    read_text("get_mqtt_server", "method", gs.method);
    gs.retries = read_int("get_mqtt_server", "retries");

    g_config_mqtt.default_qos = read_int("mqtt", "default_qos");
    char retain[8];
    memset(retain, 0, sizeof(retain));
    uci_get_value("ovimar", "mqtt", "default_retain", retain, sizeof(retain));
    g_config_mqtt.default_retain = atoi(retain) == 1;
    read_text("mqtt", "ca_file", g_config_mqtt.ca_file);
    if (!g_config_mqtt.ca_file[0])
        snprintf(g_config_mqtt.ca_file, sizeof(g_config_mqtt.ca_file), "%s", DEFAULT_CA_FILE);
    g_config_mqtt.verify_host = read_int("mqtt", "verify_host") == 1;
    g_config_mqtt.connect_timeout =
        uci_get_bounded("mqtt", "connect_timeout", 1, MQTT_CONNECT_TIMEOUT_MAX,
                        MQTT_CONNECT_TIMEOUT_DEFAULT);

    char dev_id[DEV_ID_LEN];
    char secret[SECRET_LEN];
    memset(dev_id, 0, sizeof(dev_id));
    memset(secret, 0, sizeof(secret));
    uci_get_value("ovimar", "status", "devId", dev_id, sizeof(dev_id));
    uci_get_value("ovimar", "status", "secret", secret, sizeof(secret));
    if (dev_id[0] && secret[0]) {
        memcpy(g_dev_status.devId, dev_id, sizeof(dev_id));
        memcpy(g_dev_status.secret, secret, sizeof(secret));
    }
}

void bind_info_load()
{
    char dev_id[40];
    char code[64];
    char account[32];
    memset(dev_id, 0, sizeof(dev_id));
    memset(code, 0, sizeof(code));
    memset(account, 0, sizeof(account));
    uci_get_value("zorvex_group", "shp", "devId", dev_id, sizeof(dev_id));
    uci_get_value("zorvex_group", "shp", "code", code, sizeof(code));
    uci_get_value("zorvex_group", "shp", "account", account, sizeof(account));
    static_assert(sizeof(g_bind_info.devId) >= sizeof(dev_id), "bind devId field");
    memcpy(g_bind_info.devId, dev_id, sizeof(dev_id));
    memcpy(g_bind_info.regCode, code, sizeof(code));
    memcpy(g_bind_info.AppId, account, sizeof(account));
}

int dev_status_store(const void *block)
{
    if (!block)
        return -1;

    memcpy(&g_dev_status, block, DEV_STATUS_BLOCK_LEN);
    // The block comes from a peer: never keep an unterminated field.
    g_dev_status.devId[DEV_ID_LEN - 1] = '\0';
    g_dev_status.secret[SECRET_LEN - 1] = '\0';
    if (!g_dev_status.devId[0] || !g_dev_status.secret[0]) {
        ovimar_log(OVIMAR_LOG_ERR, "devId or secret is empty, fail to uci set.\n");
        return -1;
    }

    uci_ctx_ptr ctx(uci_alloc_context());
    if (!ctx) {
        ovimar_log(OVIMAR_LOG_ERR, "uci alloc context failed\n");
        return -1;
    }
    uci_package *p = nullptr;
    if (uci_load(ctx.get(), "ovimar", &p) != UCI_OK || !p) {
        ovimar_log(OVIMAR_LOG_ERR, "uci load %s failed\n", "ovimar");
        return -1;
    }

    // Nothing reaches flash when the section cannot be made: say so.
    uci_section *s = uci_section_get_or_add(ctx.get(), p, "status");
    if (!s) {
        ovimar_log(OVIMAR_LOG_ERR, "add ovimar dev status section failed\n");
        return -1;
    }
    uci_set_option(ctx.get(), s, "devId", g_dev_status.devId);
    uci_set_option(ctx.get(), s, "secret", g_dev_status.secret);
    if (uci_commit(ctx.get(), &p, false) != UCI_OK) {
        ovimar_log(OVIMAR_LOG_ERR, "uci commit %s failed\n", "ovimar");
        return -1;
    }
    return 0;
}

void dev_status_get(void *dst)
{
    if (dst)
        memcpy(dst, &g_dev_status, DEV_STATUS_BLOCK_LEN);
}

void dev_status_clear()
{
    memset(g_dev_status.devId, 0, sizeof(g_dev_status.devId));
    memset(g_dev_status.secret, 0, sizeof(g_dev_status.secret));
}

void connected_times_bump()
{
    char cmd[64];
    g_dev_status.connected_times++;
    snprintf(cmd, sizeof(cmd), "uci set ovimar.mqtt_connect.connected_times='%d' ",
             g_dev_status.connected_times);
    if (system(cmd) < 0 || system("uci commit ovimar") < 0)
        ovimar_log(OVIMAR_LOG_WARNING, "could not run uci\n");
}
