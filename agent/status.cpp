#include "status.h"

#include <cstring>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubus.h>
}
#include <curl/curl.h>
#include <json-c/json_c_version.h>
#include <mosquitto.h>

#include "config.h"
#include "dispatch.h"
#include "state.h"

namespace {

struct blob_owner {
    blob_buf b{};
    blob_owner() { blob_buf_init(&b, 0); }
    ~blob_owner() { blob_buf_free(&b); }
    blob_owner(const blob_owner &) = delete;
    blob_owner &operator=(const blob_owner &) = delete;
};

// Indexed by state; 7 is never entered.
constexpr const char *STATE_NAMES[] = {
    "OVIMAR_HTTPS_AUTH",     "OVIMAR_HTTPS_GET_SERVER", "OVIMAR_MQTT_CONNECT",
    "OVIMAR_MQTT_CONNECTING", "OVIMAR_MQTT_RECONNECT",  "OVIMAR_MQTT_CONNECTED",
    "OVIMAR_MQTT_APP_AUTH",  "none",                    "OVIMAR_FINISHED",
};

const char *state_name(uint32_t s)
{
    return s < sizeof(STATE_NAMES) / sizeof(STATE_NAMES[0]) ? STATE_NAMES[s] : "none";
}

void add_state(blob_buf *b, const char *key)
{
    blobmsg_add_u32(b, key, agent_state_get());
}

void add_state_name(blob_buf *b, const char *key)
{
    blobmsg_add_string(b, key, state_name(agent_state_get()));
}

void add_state_seconds(blob_buf *b, const char *key)
{
    blobmsg_add_u32(b, key, static_cast<uint32_t>(agent_state_seconds()));
}

void add_broker_address(blob_buf *b, const char *key)
{
    blobmsg_add_string(b, key, g_mqtt_server.BrokerAddress);
}

void add_broker_port(blob_buf *b, const char *key)
{
    blobmsg_add_u32(b, key, static_cast<uint32_t>(g_mqtt_server.BrokerPort));
}

void add_uuid(blob_buf *b, const char *key)
{
    blobmsg_add_string(b, key, g_mqtt_server.uuid);
}

void add_connected_times(blob_buf *b, const char *key)
{
    blobmsg_add_u32(b, key, static_cast<uint32_t>(g_dev_status.connected_times));
}

// Whether credentials are present, never what they are.
void add_bound(blob_buf *b, const char *key)
{
    blobmsg_add_u8(b, key, g_dev_status.devId[0] && g_dev_status.secret[0]);
}

void add_last_method(blob_buf *b, const char *key)
{
    blobmsg_add_string(b, key, g_last_response.method);
}

void add_last_result(blob_buf *b, const char *key)
{
    blobmsg_add_u32(b, key, static_cast<uint32_t>(g_last_response.result));
}

void add_failures(blob_buf *b, const char *key)
{
    blobmsg_add_u32(b, key, agent_failures());
}

void add_retry_in(blob_buf *b, const char *key)
{
    blobmsg_add_u32(b, key, agent_retry_in());
}

void add_versions(blob_buf *b, const char *key)
{
    int major = 0, minor = 0, rev = 0;
    mosquitto_lib_version(&major, &minor, &rev);
    char mosq[32];
    snprintf(mosq, sizeof(mosq), "%d.%d.%d", major, minor, rev);
    void *t = blobmsg_open_table(b, key);
    blobmsg_add_string(b, "libmosquitto", mosq);
    blobmsg_add_string(b, "libcurl", curl_version_info(CURLVERSION_NOW)->version);
    blobmsg_add_string(b, "json-c", json_c_version());
    blobmsg_close_table(b, t);
}

struct status_field {
    const char *key;
    void (*add)(blob_buf *b, const char *key);
};

// The reply, in order. Cookie, password and secret have no entry, on purpose.
constexpr status_field FIELDS[] = {
    {"state", add_state},
    {"state_name", add_state_name},
    {"state_seconds", add_state_seconds},
    {"broker_address", add_broker_address},
    {"broker_port", add_broker_port},
    {"uuid", add_uuid},
    {"connected_times", add_connected_times},
    {"bound", add_bound},
    {"last_method", add_last_method},
    {"last_result", add_last_result},
    {"failures", add_failures},
    {"retry_in", add_retry_in},
    {"versions", add_versions},
};

int status_method(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                  const char *, struct blob_attr *)
{
    blob_owner reply;
    for (const auto &f : FIELDS)
        f.add(&reply.b, f.key);
    return ubus_send_reply(ctx, req, reply.b.head);
}

const struct ubus_method METHODS[] = {
    {"status", status_method, 0, 0, nullptr, 0},
};
constexpr int N_METHODS = sizeof(METHODS) / sizeof(METHODS[0]);

struct ubus_object_type g_status_type = {STATUS_OBJECT, 0, METHODS, N_METHODS};

struct ubus_object g_status_object = [] {
    ubus_object o{};
    o.name = STATUS_OBJECT;
    o.type = &g_status_type;
    o.methods = METHODS;
    o.n_methods = N_METHODS;
    return o;
}();

} // namespace

int status_object_add(struct ubus_context *ctx)
{
    if (!ctx)
        return UBUS_STATUS_CONNECTION_FAILED;
    return ubus_add_object(ctx, &g_status_object);
}
