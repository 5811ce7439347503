#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubus.h>
}

#include "sim.h"

namespace {

enum { EMIT_EVENT, EMIT_DATA, EMIT_MAX };

const blobmsg_policy g_emit_policy[EMIT_MAX] = {
    {"event", BLOBMSG_TYPE_STRING},
    {"data", BLOBMSG_TYPE_TABLE},
};

// {"event": NAME, "data": {...}}: the service sends NAME with that data.
int emit(ubus_context *ctx, ubus_object *, ubus_request_data *, const char *, blob_attr *msg)
{
    blob_attr *tb[EMIT_MAX] = {};
    blobmsg_parse(g_emit_policy, EMIT_MAX, tb, blob_data(msg), blob_len(msg));
    if (!tb[EMIT_EVENT] || !tb[EMIT_DATA])
        return UBUS_STATUS_INVALID_ARGUMENT;
    const char *name = blobmsg_get_string(tb[EMIT_EVENT]);

    // The event's data is the table's members, not the table itself.
    char *data = blobmsg_format_json(tb[EMIT_DATA], true);
    blob_buf b = {};
    blob_buf_init(&b, 0);
    bool ok = data && blobmsg_add_json_from_string(&b, data);
    free(data);
    int ret = ok ? ubus_send_event(ctx, name, b.head) : UBUS_STATUS_INVALID_ARGUMENT;
    blob_buf_free(&b);
    printf("emit %s ret:%d\n", name, ret);
    return ret ? UBUS_STATUS_UNKNOWN_ERROR : UBUS_STATUS_OK;
}

const ubus_method g_methods[] = {
    {"emit", emit, 0, 0, g_emit_policy, EMIT_MAX},
};

ubus_object_type g_type = {"zorvex_sim", 0, g_methods, 1};

ubus_object g_object = [] {
    ubus_object o = {};
    o.name = "zorvex_sim";
    o.type = &g_type;
    o.methods = g_methods;
    o.n_methods = 1;
    return o;
}();

} // namespace

int control_add(ubus_context *ctx)
{
    return ubus_add_object(ctx, &g_object);
}
