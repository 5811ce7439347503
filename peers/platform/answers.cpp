#include "answers.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include <json-c/json.h>

namespace {

struct json_put {
    void operator()(json_object *o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_put>;

std::mutex g_lock;
// Every cookie issued: a fleet's devices log in and ask for their broker
// interleaved, each with its own session.
std::set<std::string> g_cookies;
long g_last_id;         // ids the agent sends only ever grow
int g_logins;

const char *string_of(json_object *o, const char *key)
{
    json_object *v = nullptr;
    if (!json_object_object_get_ex(o, key, &v) || !json_object_is_type(v, json_type_string))
        return nullptr;
    return json_object_get_string(v);
}

long request_id(const std::string &request)
{
    json_ptr o(json_tokener_parse(request.c_str()));
    const char *id = o ? string_of(o.get(), "id") : nullptr;
    return id ? atol(id) : 0;
}

void add(json_object *o, const char *key, json_object *v)
{
    json_object_object_add(o, key, v);
}

// Numbers travel as JSON numbers unless the mode asks for strings.
json_object *number(long v, bool as_string)
{
    return as_string ? json_object_new_string(std::to_string(v).c_str())
                     : json_object_new_int64(v);
}

std::string longer(const std::string &v) { return v + "-" + std::string(300, 'L'); }

json_object *broker_client(const platform_config &cfg, const std::string &mode)
{
    bool strings = mode == "strings";
    bool too_long = mode == "long";
    json_object *c = json_object_new_object();
    if (mode != "no_address")
        add(c, "BrokerAddress", json_object_new_string(
                                    (too_long ? longer(cfg.broker_address) : cfg.broker_address)
                                        .c_str()));
    add(c, "BrokerPort", number(cfg.broker_port, strings));
    add(c, "KeepAliveTime", number(cfg.keepalive, strings));
    add(c, "Subscription.1.Topic",
        json_object_new_string((too_long ? longer(cfg.topic) : cfg.topic).c_str()));
    add(c, "Username",
        json_object_new_string((too_long ? longer(cfg.username) : cfg.username).c_str()));
    add(c, "Password",
        json_object_new_string((too_long ? longer(cfg.password) : cfg.password).c_str()));
    return c;
}

// parameterValues in the shape the mode asks for; null when it is left out.
json_object *parameter_values(const platform_config &cfg, const std::string &mode)
{
    if (mode == "no_params")
        return nullptr;
    json_object *p = json_object_new_object();
    if (mode == "no_client")
        return p;
    json_object *c = broker_client(cfg, mode);
    bool bad = mode == "params_bad";
    if (mode != "params_text" && !bad) {
        add(p, "Device.MQTT.Client.1", c);
        return p;
    }
    // Both levels as strings that hold JSON text.
    add(p, "Device.MQTT.Client.1", json_object_new_string(json_object_to_json_string(c)));
    json_object_put(c);
    std::string p_text = json_object_to_json_string(p);
    json_object_put(p);
    if (bad)
        p_text.pop_back();
    json_object *text = json_object_new_string(p_text.c_str());
    return text;
}

int result_of(const std::string &mode, int ok_result)
{
    if (mode == "result9008")
        return 9008;
    if (mode == "result9009")
        return 9009;
    return ok_result;
}

void fill_auth(json_object *o, const std::string &mode)
{
    if (mode == "no_cookie")
        return;
    std::lock_guard<std::mutex> hold(g_lock);
    std::string cookie = "ck-" + std::to_string(++g_logins) + "-" + std::to_string(rand() % 100000);
    g_cookies.insert(cookie);
    add(o, "cookie", json_object_new_string((mode == "long" ? longer(cookie) : cookie).c_str()));
}

// A wrong cookie is what a real platform refuses; the answer says so.
int fill_server(const platform_config &cfg, json_object *o, const std::string &request,
                const std::string &mode)
{
    json_ptr req(json_tokener_parse(request.c_str()));
    const char *cookie = req ? string_of(req.get(), "cookie") : nullptr;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (!cookie || !g_cookies.count(cookie))
            return 9003;
    }
    add(o, "uuid", json_object_new_string((mode == "long" ? longer(cfg.uuid) : cfg.uuid).c_str()));
    if (json_object *p = parameter_values(cfg, mode))
        add(o, "parameterValues", p);
    return 0;
}

std::string sized_body(long id, size_t size)
{
    std::string head = "{\"id\":" + std::to_string(id) + ",\"result\":0,\"pad\":\"";
    if (size < head.size() + 2)
        return std::string(size, 'x');
    return head + std::string(size - head.size() - 2, 'p') + "\"}";
}

} // namespace

answer answer_for(const platform_config &cfg, const std::string &method,
                  const std::string &request, const std::string &mode)
{
    answer a;
    long id = request_id(request);
    if (mode == "empty")
        return a;
    if (mode == "not_json") {
        a.body = "<html>platform busy</html>";
        return a;
    }
    if (mode.rfind("size:", 0) == 0) {
        a.body = sized_body(id, strtoul(mode.c_str() + 5, nullptr, 10));
        return a;
    }
    if (mode == "status500") {
        a.status = 500;
        a.body = "{\"id\":" + std::to_string(id) +
                 ",\"result\":9001,\"message\":\"internal error\"}";
        return a;
    }
    a.how = mode == "silent"  ? delivery::silent
            : mode == "stall" ? delivery::stall
            : mode == "trickle" ? delivery::trickle
                                : delivery::whole;
    if (method == "other") {
        a.body = request;
        return a;
    }

    json_ptr o(json_object_new_object());
    int result = 0;
    if (method == "devAuth")
        fill_auth(o.get(), mode);
    else
        result = fill_server(cfg, o.get(), request, mode);
    bool strings = mode == "strings";
    add(o.get(), "id", number(mode == "wrong_id" ? id + 1 : id, strings));
    add(o.get(), "result", number(result_of(mode, result), strings));
    a.body = json_object_to_json_string_ext(o.get(), JSON_C_TO_STRING_PLAIN);
    return a;
}

std::string check_request(const std::string &method, const std::string &request)
{
    if (method == "other")
        return "unchecked";
    json_ptr o(json_tokener_parse(request.c_str()));
    if (!o || !json_object_is_type(o.get(), json_type_object))
        return "body is not a JSON object";
    std::string problems;
    auto fault = [&](const std::string &p) { problems += (problems.empty() ? "" : "; ") + p; };

    const char *id = string_of(o.get(), "id");
    if (!id || !*id || strspn(id, "0123456789") != strlen(id) || atol(id) <= 0) {
        fault("id is not a positive decimal string");
    } else {
        std::lock_guard<std::mutex> hold(g_lock);
        if (atol(id) <= g_last_id)
            fault("id " + std::string(id) + " not above " + std::to_string(g_last_id));
        g_last_id = atol(id);
    }
    if (!string_of(o.get(), "cwmpVersion"))
        fault("no cwmpVersion");
    if (method == "devAuth" && (!string_of(o.get(), "devId") || !string_of(o.get(), "secret")))
        fault("devId and secret must be strings");
    if (method == "devGetMqttServer") {
        const char *acc = string_of(o.get(), "accType");
        if (!acc || strcmp(acc, "router"))
            fault("accType is not router");
        const char *cookie = string_of(o.get(), "cookie");
        std::lock_guard<std::mutex> hold(g_lock);
        if (!cookie || !g_cookies.count(cookie))
            fault("cookie was never issued");
    }
    return problems.empty() ? "ok" : problems;
}
