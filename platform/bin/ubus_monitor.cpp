// ubus monitor: every message the daemon passes, one line each, as
// "<- client #peer type: {attributes}" (-> for those it sent).
#include "ubus_cli.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ubus_cli {

namespace {

constexpr const char *TYPES[] = {
    "hello",  "status",     "data",          "ping",      "lookup",      "invoke",
    "add_object", "remove_object", "subscribe", "unsubscribe", "notify",
};

struct field {
    int attr;
    const char *name;
    int type;
};

constexpr field FIELDS[] = {
    {UBUS_ATTR_STATUS, "status", BLOB_ATTR_INT32},
    {UBUS_ATTR_OBJPATH, "objpath", BLOB_ATTR_STRING},
    {UBUS_ATTR_OBJID, "objid", BLOB_ATTR_INT32},
    {UBUS_ATTR_METHOD, "method", BLOB_ATTR_STRING},
    {UBUS_ATTR_OBJTYPE, "objtype", BLOB_ATTR_INT32},
    {UBUS_ATTR_SIGNATURE, "signature", BLOB_ATTR_NESTED},
    {UBUS_ATTR_DATA, "data", BLOB_ATTR_NESTED},
    {UBUS_ATTR_ACTIVE, "active", BLOB_ATTR_INT8},
    {UBUS_ATTR_NO_REPLY, "no_reply", BLOB_ATTR_INT8},
    {UBUS_ATTR_USER, "user", BLOB_ATTR_STRING},
    {UBUS_ATTR_GROUP, "group", BLOB_ATTR_STRING},
};

const char *type_name(uint32_t type)
{
    static char unknown[16];
    if (type < sizeof(TYPES) / sizeof(TYPES[0]))
        return TYPES[type];
    snprintf(unknown, sizeof(unknown), "%u", type);
    return unknown;
}

// The message's attributes as a JSON object, named as above.
char *format_message(blob_attr *data)
{
    blob_attr_info policy[UBUS_ATTR_MAX] = {};
    for (const field &f : FIELDS)
        policy[f.attr].type = static_cast<unsigned int>(f.type);
    blob_attr *tb[UBUS_ATTR_MAX];
    blob_parse(data, tb, policy, UBUS_ATTR_MAX);

    blob_buf_init(&g_buf, 0);
    for (const field &f : FIELDS) {
        blob_attr *v = tb[f.attr];
        if (!v)
            continue;
        switch (f.type) {
        case BLOB_ATTR_INT32:
            blobmsg_add_u32(&g_buf, f.name, blob_get_u32(v));
            break;
        case BLOB_ATTR_STRING:
            blobmsg_add_string(&g_buf, f.name, blob_get_string(v));
            break;
        case BLOB_ATTR_INT8:
            blobmsg_add_u8(&g_buf, f.name, blob_get_u8(v) != 0);
            break;
        case BLOB_ATTR_NESTED:
            blobmsg_add_field(&g_buf, BLOBMSG_TYPE_TABLE, f.name, blobmsg_data(v),
                              static_cast<unsigned int>(blobmsg_data_len(v)));
            break;
        }
    }
    return blobmsg_format_json(g_buf.head, true);
}

constexpr struct {
    int attr;
    unsigned int type;
} MONITOR_FIELDS[] = {
    {UBUS_MONITOR_CLIENT, BLOB_ATTR_INT32}, {UBUS_MONITOR_PEER, BLOB_ATTR_INT32},
    {UBUS_MONITOR_SEND, BLOB_ATTR_INT8},    {UBUS_MONITOR_TYPE, BLOB_ATTR_INT32},
    {UBUS_MONITOR_DATA, BLOB_ATTR_NESTED},
};

void on_message(ubus_context *, uint32_t, blob_attr *msg)
{
    blob_attr_info policy[UBUS_MONITOR_MAX] = {};
    for (const auto &f : MONITOR_FIELDS)
        policy[f.attr].type = f.type;
    blob_attr *tb[UBUS_MONITOR_MAX];
    blob_parse_untrusted(msg, blob_raw_len(msg), tb, policy, UBUS_MONITOR_MAX);
    for (const auto &f : MONITOR_FIELDS) {
        if (!tb[f.attr]) {
            printf("Invalid monitor msg\n");
            return;
        }
    }
    bool send = blob_get_u8(tb[UBUS_MONITOR_SEND]) != 0;
    uint32_t type = blob_get_u32(tb[UBUS_MONITOR_TYPE]);
    if (g_opt.monitor_mask && type < 32 && !(g_opt.monitor_mask & (1u << type)))
        return;
    if (g_opt.monitor_dir >= 0 && send != (g_opt.monitor_dir == 1))
        return;
    char *data = format_message(tb[UBUS_MONITOR_DATA]);
    printf("%s %08x #%08x %14s: %s\n", send ? "->" : "<-", blob_get_u32(tb[UBUS_MONITOR_CLIENT]),
           blob_get_u32(tb[UBUS_MONITOR_PEER]), type_name(type), data ? data : "");
    free(data);
    fflush(stdout);
}

} // namespace

bool monitor_add_type(const char *name)
{
    for (size_t i = 0; i < sizeof(TYPES) / sizeof(TYPES[0]); i++) {
        if (!strcmp(TYPES[i], name)) {
            g_opt.monitor_mask |= 1u << i;
            return true;
        }
    }
    return false;
}

int cmd_monitor(ubus_context *ctx, int, char **)
{
    uloop_init();
    ubus_add_uloop(ctx);
    ctx->monitor_cb = on_message;
    int ret = ubus_monitor_start(ctx);
    if (ret) {
        uloop_done();
        return ret;
    }
    uloop_run();
    uloop_done();
    ubus_monitor_stop(ctx);
    return 0;
}

} // namespace ubus_cli
