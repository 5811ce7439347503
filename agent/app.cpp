#include "app.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "dispatch.h"
#include "json.h"
#include "log.h"
#include "mqtt.h"
#include "request.h"
#include "state.h"

namespace {

constexpr int RESULT_MAX = 9008;
enum class local_kind { request = 0, reply = 1 };

template <size_t N> void read_broker_text(const char *option, char (&dst)[N])
{
    memset(dst, 0, N);
    uci_get_value("ovimar", "mqtt", option, dst, static_cast<int>(N));
}

int read_broker_int(const char *option)
{
    char buf[32];
    read_broker_text(option, buf);
    return atoi(buf);
}

// The local service wrote new broker settings to UCI: reconnect with them.
// Topic and uuid come from the platform only and stay.
void broker_reset()
{
    ovimar_log(OVIMAR_LOG_DEBUG, "isp-dp ubus send %s to ovimar, reset mqtt server info.\n",
               "mqtt");
    g_mqtt_server.BrokerPort = read_broker_int("BrokerPort");
    read_broker_text("BrokerAddress", g_mqtt_server.BrokerAddress);
    g_mqtt_server.KeepAliveTime = read_broker_int("KeepAliveTime");
    read_broker_text("Username", g_mqtt_server.Username);
    read_broker_text("Password", g_mqtt_server.Password);
    mqtt_teardown();
    agent_state_set(OVIMAR_MQTT_CONNECT);
}

int publish_text(const char *text)
{
    return mqtt_publish_msg(nullptr, static_cast<int>(strlen(text)), text);
}

// A local request gets the session keys and a fresh number.
int publish_request(const char *text, uint32_t n)
{
    json_ptr o(json_tokener_parse(text));
    if (!o || !json_object_is_type(o.get(), json_type_object)) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse json ! buf:%s\n", text);
        return -1;
    }
    char id[16];
    snprintf(id, sizeof(id), "%u", n);
    json_add_string(o.get(), "cwmpVersion", g_config_get_mqtt_server.cwmp_version);
    json_add_string(o.get(), "id", id);
    json_add_string(o.get(), "cookie", g_mqtt_server.cookie);
    json_add_string(o.get(), "uuid", g_mqtt_server.uuid);
    return publish_text(json_object_to_json_string_ext(o.get(), JSON_C_TO_STRING_PLAIN));
}

} // namespace

void local_msg_handler(const char *text)
{
    char method[LAST_METHOD_LEN];
    int id = -1;
    int result = -1;
    memset(method, 0, sizeof(method));

    if (text && text[0] && json_opt_key(text, "method", method, sizeof(method)) &&
        !strcmp(method, "mqtt")) {
        broker_reset();
        return;
    }
    memset(method, 0, sizeof(method));
    ovimar_log(OVIMAR_LOG_DEBUG, "ovimar recv mqtt publish msg:%s\n", text ? text : "");

    if (parse_msg_header(text, method, &result, &id) != 0) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse userdata, invalid key");
        return;
    }
    local_kind kind;
    if (method[0])
        kind = local_kind::request;
    else if (id > 0 && result >= 0 && result <= RESULT_MAX)
        kind = local_kind::reply;
    else {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse userdata, invalid msg type");
        return;
    }
    ovimar_log(OVIMAR_LOG_INFO,
               "recv ubus event msg method:%s id:%d result:%d msg type:%d method type\xef\xbc\x9a%d\n",
               method, id, result, static_cast<int>(kind), 1);

    uint32_t n = msg_seq_next();
    int rc;
    if (kind == local_kind::request) {
        set_last_request(n, method);
        rc = publish_request(text, n);
    } else {
        // It answers a platform request with the id the service put in.
        rc = publish_text(text);
    }
    if (rc != 0) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to send msg to server method:%s type:%d\n", method, 1);
        ovimar_log(OVIMAR_LOG_ERR, "failed to send message to platform\n");
    }
}

void app_msg_handler(const char *text)
{
    ovimar_log(OVIMAR_LOG_DEBUG, "ovimar recv app msg:%s\n", text ? text : "");
    uint32_t state = agent_state_get();
    if (state != OVIMAR_MQTT_APP_AUTH) {
        ovimar_log(OVIMAR_LOG_ERR, " ovimar status not in OVIMAR_MQTT_APP_AUTH:%d\n", state);
        return;
    }
    if (!text || !text[0])
        return;
    char method[LAST_METHOD_LEN];
    memset(method, 0, sizeof(method));
    if (!json_get_key(text, "method", method, sizeof(method)) || strcmp(method, "bind")) {
        ovimar_log(OVIMAR_LOG_ERR, "invalid method from app msg. \n");
        return;
    }
    bind_info_load();
    send_bind_request();
    ovimar_log(OVIMAR_LOG_DEBUG, "ovimar send %s request to mqtt server.\n", "bind");
}
