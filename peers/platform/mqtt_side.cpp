#include "mqtt_side.h"

#include <mosquitto.h>

#include <json-c/json.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>

namespace {

struct json_put {
    void operator()(json_object *o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_put>;

const platform_config *g_cfg;
struct mosquitto *g_mosq;
std::thread g_loop;
std::atomic<bool> g_running;

// The library's own loop thread gives up after a TLS error, which is what
// a killed broker looks like: this one reconnects for as long as it runs.
void loop()
{
    while (g_running) {
        if (mosquitto_loop(g_mosq, 100, 1) == MOSQ_ERR_SUCCESS)
            continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        mosquitto_reconnect(g_mosq);
    }
}

void record(const char *what, std::string_view text)
{
    platform_print(std::string(what) + " " + std::string(text));
}

std::string member(json_object *o, const char *key)
{
    json_object *v = nullptr;
    if (!json_object_object_get_ex(o, key, &v) || !v)
        return {};
    return json_object_get_string(v);
}

// The platform's answer to a device request: same id, result 0.
void answer(json_object *req, bool with_identity)
{
    json_ptr a(json_object_new_object());
    json_object_object_add(a.get(), "id", json_object_new_string(member(req, "id").c_str()));
    json_object_object_add(a.get(), "result", json_object_new_string("0"));
    if (with_identity) {
        json_object_object_add(a.get(), "devId", json_object_new_string(g_cfg->dev_id.c_str()));
        json_object_object_add(a.get(), "secret", json_object_new_string(g_cfg->secret.c_str()));
    }
    mqtt_side_send(json_object_to_json_string_ext(a.get(), JSON_C_TO_STRING_PLAIN));
}

struct auto_answer {
    std::string_view method;
    bool with_identity;
};

constexpr auto_answer ANSWERS[] = {
    {"devInfoSync", false},
    {"bind", true},
};

void on_message(struct mosquitto *, void *, const struct mosquitto_message *m)
{
    std::string_view text(static_cast<const char *>(m->payload),
                          static_cast<size_t>(m->payloadlen));
    record("seen", text);
    json_ptr o(json_tokener_parse(std::string(text).c_str()));
    if (!o || !json_object_is_type(o.get(), json_type_object))
        return;
    std::string method = member(o.get(), "method");
    for (const auto &a : ANSWERS)
        if (method == a.method)
            answer(o.get(), a.with_identity);
}

void on_connect(struct mosquitto *m, void *, int rc)
{
    char line[32];
    snprintf(line, sizeof line, "%d", rc);
    record("connected", line);
    mosquitto_subscribe(m, nullptr, g_cfg->uuid.c_str(), 1);
}

void on_subscribe(struct mosquitto *, void *, int, int, const int *)
{
    record("subscribed", g_cfg->uuid);
}

} // namespace

bool mqtt_side_start(const platform_config &cfg)
{
    g_cfg = &cfg;
    mosquitto_lib_init();
    g_mosq = mosquitto_new("ovimar-platform", true, nullptr);
    if (!g_mosq)
        return false;
    mosquitto_int_option(g_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_username_pw_set(g_mosq, cfg.username.c_str(), cfg.password.c_str());
    if (mosquitto_tls_set(g_mosq, cfg.mqtt_ca.c_str(), nullptr, nullptr, nullptr, nullptr))
        return false;
    mosquitto_connect_callback_set(g_mosq, on_connect);
    mosquitto_subscribe_callback_set(g_mosq, on_subscribe);
    mosquitto_message_callback_set(g_mosq, on_message);
    // Publishes from other threads leave the writing to the loop's thread.
    mosquitto_threaded_set(g_mosq, true);
    // A broker not up yet is retried by the loop, as after a loss.
    mosquitto_connect_async(g_mosq, cfg.broker_address.c_str(), cfg.broker_port, 30);
    g_running = true;
    g_loop = std::thread(loop);
    return true;
}

int mqtt_side_send(const std::string &json)
{
    int rc = mosquitto_publish(g_mosq, nullptr, g_cfg->topic.c_str(),
                               static_cast<int>(json.size()), json.data(), 1, false);
    record(rc == MOSQ_ERR_SUCCESS ? "sent" : "unsent", json);
    return rc;
}

void mqtt_side_stop()
{
    if (!g_mosq)
        return;
    g_running = false;
    g_loop.join();
    mosquitto_disconnect(g_mosq);
    mosquitto_destroy(g_mosq);
    g_mosq = nullptr;
    mosquitto_lib_cleanup();
}
