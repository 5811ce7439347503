#include "mqtt_peer.h"

#include <mosquitto.h>

#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct json_put {
    void operator()(json_object *o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_put>;

std::string member(json_object *o, const char *key)
{
    json_object *v = nullptr;
    if (!json_object_object_get_ex(o, key, &v) || !v)
        return {};
    return json_object_get_string(v);
}

mqtt_peer *peer_of(void *userdata)
{
    return static_cast<mqtt_peer *>(userdata);
}

void on_connect(struct mosquitto *, void *userdata, int rc)
{
    peer_of(userdata)->connected = rc == 0;
}

void on_subscribe(struct mosquitto *, void *userdata, int, int, const int *)
{
    peer_of(userdata)->subscribed++;
}

// The platform's answer to a device request, as the platform gives it.
void answer(mqtt_peer &p, const std::string &id)
{
    std::string a = "{\"id\":\"" + id + "\",\"result\":\"0\"}";
    mqtt_send(p, p.answer_topic, a);
}

void on_message(struct mosquitto *m, void *userdata, const struct mosquitto_message *msg)
{
    mqtt_peer &p = *peer_of(userdata);
    if (!p.echo_topic.empty()) {
        mosquitto_publish(m, nullptr, p.echo_topic.c_str(), msg->payloadlen, msg->payload,
                          BENCH_QOS, false);
        return;
    }
    json_ptr o(json_tokener_parse(static_cast<const char *>(msg->payload)));
    if (!o || !json_object_is_type(o.get(), json_type_object))
        return;
    std::string id = member(o.get(), "id");
    if (member(o.get(), "method") == "devInfoSync") {
        p.dev_info_syncs++;
        answer(p, id);
        return;
    }
    p.seen_id = atol(id.c_str());
}

} // namespace

mqtt_peer::~mqtt_peer()
{
    if (!m)
        return;
    mosquitto_disconnect(m);
    mosquitto_destroy(m);
}

bool mqtt_open(mqtt_peer &p, const char *client_id, const mqtt_login &login,
               const std::string &topic)
{
    p.m = mosquitto_new(client_id, true, &p);
    if (!p.m)
        return false;
    // As the agent does: without it Nagle and delayed ACKs add ~40 ms.
    mosquitto_int_option(p.m, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_username_pw_set(p.m, login.user.c_str(), login.password.c_str());
    if (mosquitto_tls_set(p.m, login.ca.c_str(), nullptr, nullptr, nullptr, nullptr))
        return false;
    mosquitto_connect_callback_set(p.m, on_connect);
    mosquitto_subscribe_callback_set(p.m, on_subscribe);
    mosquitto_message_callback_set(p.m, on_message);
    if (mosquitto_connect(p.m, login.host.c_str(), login.port, 60) != MOSQ_ERR_SUCCESS)
        return false;
    if (!mqtt_pump(p, 10000, [&] { return p.connected; }))
        return false;
    mosquitto_subscribe(p.m, nullptr, topic.c_str(), BENCH_QOS);
    return mqtt_pump(p, 10000, [&] { return p.subscribed > 0; });
}

int mqtt_send(mqtt_peer &p, const std::string &topic, const std::string &payload)
{
    return mosquitto_publish(p.m, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), BENCH_QOS, false);
}

bool mqtt_turn(mqtt_peer &p, int timeout_ms)
{
    return mosquitto_loop(p.m, timeout_ms, 1) == MOSQ_ERR_SUCCESS;
}
