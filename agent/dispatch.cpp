#include "dispatch.h"

#include <cstdio>
#include <cstring>

#include <uci.h>

#include "app.h"
#include "config.h"
#include "log.h"
#include "request.h"
#include "state.h"
#include "ubus.h"

struct mqtt_server g_mqtt_server;
struct last_response g_last_response = {{}, -1};

namespace {

constexpr int RESULT_MAX = 9008;
constexpr int WORK_LEN = 2048;
constexpr int NUMBER_LEN = 32;

// Reads key from text into a cleared field; true when it is non-empty.
// A key the message may lack is read quietly.
template <size_t N>
bool read_key(const char *text, const char *key, char (&dst)[N], bool required = true)
{
    memset(dst, 0, N);
    (required ? json_get_key : json_opt_key)(text, key, dst, static_cast<int>(N));
    return dst[0] != '\0';
}

// A non-empty value replaces the field; an absent one leaves it as it is.
template <size_t N> void take_text(const char *client, const char *key, char (&field)[N])
{
    char v[N];
    if (read_key(client, key, v, false))
        memcpy(field, v, N);
}

void take_number(const char *client, const char *key, int *field)
{
    char v[NUMBER_LEN];
    if (read_key(client, key, v, false))
        *field = text_to_int(v);
}

// The memory record serves the connect even when this fails.
void persist_broker()
{
    uci_ctx_ptr ctx(uci_alloc_context());
    if (!ctx) {
        ovimar_log(OVIMAR_LOG_ERR, "uci alloc context failed\n");
        ovimar_log(OVIMAR_LOG_WARNING, "failed to save mqtt server info in uci.\n");
        return;
    }
    uci_package *p = nullptr;
    if (uci_load(ctx.get(), "ovimar", &p) != UCI_OK || !p) {
        ovimar_log(OVIMAR_LOG_ERR, "uci load %s failed\n", "ovimar");
        ovimar_log(OVIMAR_LOG_WARNING, "failed to save mqtt server info in uci.\n");
        return;
    }
    uci_section *s = uci_section_get_or_add(ctx.get(), p, "mqtt");
    if (!s) {
        ovimar_log(OVIMAR_LOG_ERR, "add ovimar mqtt server section failed\n");
        return;
    }
    const auto &m = g_mqtt_server;
    char port[NUMBER_LEN], keepalive[NUMBER_LEN];
    snprintf(port, sizeof(port), "%d", m.BrokerPort);
    snprintf(keepalive, sizeof(keepalive), "%d", m.KeepAliveTime);
    uci_set_option(ctx.get(), s, "BrokerPort", port);
    uci_set_option(ctx.get(), s, "BrokerAddress", m.BrokerAddress);
    uci_set_option(ctx.get(), s, "KeepAliveTime", keepalive);
    uci_set_option(ctx.get(), s, "Username", m.Username);
    uci_set_option(ctx.get(), s, "Password", m.Password);
    if (uci_commit(ctx.get(), &p, false) != UCI_OK) {
        ovimar_log(OVIMAR_LOG_ERR, "uci commit %s failed\n", "ovimar");
        ovimar_log(OVIMAR_LOG_WARNING, "failed to save mqtt server info in uci.\n");
    }
}

void on_dev_auth(const char *userdata, int result)
{
    char cookie[sizeof(g_mqtt_server.cookie)];
    if (result == 0 && read_key(userdata, "cookie", cookie)) {
        memcpy(g_mqtt_server.cookie, cookie, sizeof(cookie));
        ovimar_log(OVIMAR_LOG_INFO, "succeed to https auth\n");
        agent_state_set(OVIMAR_HTTPS_GET_SERVER);
        return;
    }
    ovimar_log(OVIMAR_LOG_ERR, "failed to https auth result:%d\n", -1);
}

void on_get_server(const char *userdata, int result)
{
    int ret = save_mqtt_server(userdata, result);
    if (ret != 0) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to https get_server result:%d\n", ret);
        return;
    }
    ovimar_log(OVIMAR_LOG_INFO, "succeed to https get_server\n");
    agent_state_set(OVIMAR_MQTT_CONNECT);
}

void on_dev_info_sync(const char *, int result)
{
    if (result == 0)
        ovimar_log(OVIMAR_LOG_INFO, "succeed to mqtt devInfoSync.\n");
}

void on_bind(const char *userdata, int result)
{
    if (result == 0)
        bind_response_handler(userdata);
}

struct response_action {
    const char *method;
    void (*act)(const char *userdata, int result);
};

constexpr response_action g_response_actions[] = {
    {"devAuth", on_dev_auth},
    {"devGetMqttServer", on_get_server},
    {"devInfoSync", on_dev_info_sync},
    {"bind", on_bind},
};

void handle_request(const char *userdata, const char *method)
{
    ovimar_log(OVIMAR_LOG_INFO, "receive %s request from server \n", method);
    if (!strcmp(method, "unBind")) {
        unbind_request_handler(userdata);
        return;
    }
    if (ubus_call_forward(method, userdata) != 0)
        ovimar_log(OVIMAR_LOG_ERR, "failed to call ubus method:%s\n", method);
}

void handle_response(const char *userdata, int id, int result)
{
    if (id <= 0 || result < 0 || result > RESULT_MAX) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse userdata, invalid msg type");
        return;
    }
    ovimar_log(OVIMAR_LOG_DEBUG, "ovimar ovimar_parse_response_msg userdata:%s\n", userdata);

    last_request last = g_last_request;
    set_last_request(0, nullptr);
    ovimar_log(OVIMAR_LOG_INFO, "last_method:%s  last_id %d result:%d\n", last.last_method,
               static_cast<int>(last.last_id), result);
    if (static_cast<uint32_t>(id) != last.last_id) {
        ovimar_log(OVIMAR_LOG_ERR, "sequence err clean require record");
        return;
    }
    ovimar_log(OVIMAR_LOG_DEBUG, "ovimar_reponse_handle  method %s result %d userdata %s\n",
               last.last_method, result, userdata);
    snprintf(g_last_response.method, sizeof(g_last_response.method), "%s", last.last_method);
    g_last_response.result = result;
    for (const auto &a : g_response_actions) {
        if (!strcmp(a.method, last.last_method)) {
            a.act(userdata, result);
            return;
        }
    }
}

} // namespace

void clear_cookie()
{
    memset(g_mqtt_server.cookie, 0, sizeof g_mqtt_server.cookie);
}

void ovimar_parse_response_msg(const char *userdata)
{
    char method[LAST_METHOD_LEN];
    memset(method, 0, sizeof(method));
    int id = -1;
    int result = -1;
    if (!userdata || parse_msg_header(userdata, method, &result, &id) != 0) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse userdata, invalid key");
        return;
    }
    ovimar_log(OVIMAR_LOG_INFO, "recv net msg method:%s id:%d result:%d\n", method, id, result);
    if (method[0])
        handle_request(userdata, method);
    else
        handle_response(userdata, id, result);
}

// Fails when the response names no broker to connect to, so the machine
// asks again within its retries; a failed UCI write alone does not.
int save_mqtt_server(const char *userdata, int result)
{
    if (!userdata || !userdata[0])
        return -1;
    char params[WORK_LEN];
    char client[WORK_LEN];
    memset(params, 0, sizeof(params));
    memset(client, 0, sizeof(client));
    if (result != 0)
        ovimar_log(OVIMAR_LOG_WARNING, "failed to http get server response result:%d\n", result);

    auto &m = g_mqtt_server;
    take_text(userdata, "uuid", m.uuid);
    if (!read_key(userdata, "parameterValues", params) ||
        !read_key(params, "Device.MQTT.Client.1", client))
        return -1;

    take_number(client, "BrokerPort", &m.BrokerPort);
    take_text(client, "BrokerAddress", m.BrokerAddress);
    take_number(client, "KeepAliveTime", &m.KeepAliveTime);
    take_text(client, "Subscription.1.Topic", m.Topic);
    take_text(client, "Username", m.Username);
    take_text(client, "Password", m.Password);
    if (!m.BrokerAddress[0]) {
        ovimar_log(OVIMAR_LOG_ERR, "no BrokerAddress in get server response\n");
        return -1;
    }
    persist_broker();
    return 0;
}
