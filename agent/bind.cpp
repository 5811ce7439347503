// Binding the router to a user's account, and its removal.
#include "app.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config.h"
#include "dispatch.h"
#include "https.h"
#include "json.h"
#include "log.h"
#include "mqtt.h"
#include "request.h"
#include "state.h"
#include "ubus.h"

namespace {

struct resp_free {
    void operator()(char *p) const { free(p); }
};

int publish(const char *what, const char *text)
{
    ovimar_log(OVIMAR_LOG_INFO, "mqtt %s payload: %s", what, text);
    int rc = mqtt_publish_msg(nullptr, static_cast<int>(strlen(text)), text);
    if (rc != 0)
        ovimar_log(OVIMAR_LOG_ERR, "Error: publish %s failed. \n", what);
    return rc;
}

// Empty when absent: the caller decides what a missing key means.
template <size_t N> void read_key(const char *text, const char *key, char (&dst)[N])
{
    memset(dst, 0, N);
    if (!json_get_key(text, key, dst, static_cast<int>(N)))
        dst[0] = '\0';
}

} // namespace

int send_bind_request()
{
    resp_buf rb = {};
    int ret = ubus_call_collect("bind", nullptr, &rb);
    std::unique_ptr<char, resp_free> reply(rb.resp_text);
    if (ret != 0 || !reply || rb.resp_len == 0) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to call ubus method %s\n", "bind");
        return -1;
    }
    json_ptr o(json_tokener_parse(reply.get()));
    if (!o || !json_object_is_type(o.get(), json_type_object)) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse json buf:%s\n", reply.get());
        return -1;
    }
    json_add_string(o.get(), "cwmpVersion", g_config_get_mqtt_server.cwmp_version);
    json_add_string(o.get(), "cookie", g_mqtt_server.cookie);
    json_add_string(o.get(), "uuid", g_mqtt_server.uuid);
    json_add_string(o.get(), "devId", g_bind_info.devId);
    json_add_string(o.get(), "regCode", g_bind_info.regCode);
    json_add_string(o.get(), "AppId", g_bind_info.AppId);

    uint32_t n = msg_seq_next();
    set_last_request(n, "bind");
    char id[16];
    snprintf(id, sizeof(id), "%u", n);
    json_add_string(o.get(), "id", id);

    const char *text = json_object_to_json_string_ext(o.get(), JSON_C_TO_STRING_PLAIN);
    if (!text) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse json_object\n");
        return -1;
    }
    return publish("bind", text);
}

int bind_response_handler(const char *userdata)
{
    char block[DEV_STATUS_BLOCK_LEN];
    memset(block, 0, sizeof(block));
    char *dev_id = block;
    char *secret = block + DEV_ID_LEN;
    if (!json_get_key(userdata, "devId", dev_id, DEV_ID_LEN))
        dev_id[0] = '\0';
    if (!json_get_key(userdata, "secret", secret, SECRET_LEN))
        secret[0] = '\0';
    if (!dev_id[0] || !secret[0]) {
        ovimar_log(OVIMAR_LOG_ERR, "bind msg no devID or secret");
        return -1;
    }
    dev_status_store(block);
    agent_state_set(OVIMAR_HTTPS_AUTH);
    mqtt_teardown();
    ovimar_log(OVIMAR_LOG_INFO, "bind success, disconnect mqtt, prepare to reconnect http server\n");
    return 0;
}

int unbind_request_handler(const char *userdata)
{
    char cwmp_version[64];
    char id[32];
    read_key(userdata, "cwmpVersion", cwmp_version);
    read_key(userdata, "id", id);
    if (!cwmp_version[0] || !id[0]) {
        ovimar_log(OVIMAR_LOG_ERR, "unbind msg no cwmpVersion or id");
        send_unbind_reply("5003", cwmp_version, id);
        return -1;
    }

    dev_status_clear();
    memset(g_bind_info.regCode, 0, sizeof(g_bind_info.regCode));
    memset(g_bind_info.AppId, 0, sizeof(g_bind_info.AppId));
    uci_delete_section("zorvex_group", "shp");
    uci_delete_section("ovimar", "status");

    if (send_unbind_reply("0", cwmp_version, id) != 0)
        return 0;
    mqtt_teardown();
    agent_state_set(OVIMAR_HTTPS_AUTH);
    ovimar_log(OVIMAR_LOG_INFO,
               "unbind success, disconnect mqtt, prepare to reconnect http server\n");
    return 0;
}

int send_unbind_reply(const char *result, const char *cwmp_version, const char *id)
{
    json_ptr o(json_object_new_object());
    if (!o || !json_add_string(o.get(), "cwmpVersion", cwmp_version ? cwmp_version : "") ||
        !json_add_string(o.get(), "result", result ? result : "") ||
        !json_add_string(o.get(), "id", id ? id : "")) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse json_object\n");
        return -1;
    }
    const char *text = json_object_to_json_string_ext(o.get(), JSON_C_TO_STRING_PLAIN);
    if (!text) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse json_object\n");
        return -1;
    }
    return publish("unBind", text);
}
