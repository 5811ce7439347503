#include "request.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "dispatch.h"
#include "https.h"
#include "json.h"
#include "log.h"
#include "ubus.h"

uint32_t msg_seq = 1;
struct last_request g_last_request;

uint32_t msg_seq_next()
{
    return ++msg_seq;
}

void set_last_request(uint32_t id, const char *method)
{
    memset(g_last_request.last_method, 0, sizeof g_last_request.last_method);
    g_last_request.last_id = id;
    if (method)
        strncpy(g_last_request.last_method, method, LAST_METHOD_LEN - 1);
}

namespace {

// Text form of a value: a string's characters, anything else's JSON text.
const char *text_of(json_object *v)
{
    return json_object_get_string(v);
}

void copy_text(char *dst, int size, const char *src)
{
    if (size <= 0)
        return;
    strncpy(dst, src, size - 1);
    dst[size - 1] = '\0';
}

} // namespace

int text_to_int(const char *s)
{
    errno = 0;
    long v = strtol(s, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

namespace {

char *find_key(const char *text, const char *key, char *dst, int size, bool required)
{
    json_ptr root(text ? json_tokener_parse(text) : nullptr);
    if (!root) {
        ovimar_log(OVIMAR_LOG_ERR, "ERROR: json_verify failed <%s>! \n", text ? text : "");
        return nullptr;
    }
    json_object *v = nullptr;
    if (!json_object_is_type(root.get(), json_type_object) ||
        !json_object_object_get_ex(root.get(), key, &v) || !v) {
        if (required)
            ovimar_log(OVIMAR_LOG_ERR, "ERROR: key <%s> not exist! \n", key);
        return nullptr;
    }
    copy_text(dst, size, text_of(v));
    return dst;
}

bool has_key(json_object *root, const char *key, json_object **v)
{
    return json_object_object_get_ex(root, key, v) && *v;
}

} // namespace

char *json_get_key(const char *text, const char *key, char *dst, int size)
{
    return find_key(text, key, dst, size, true);
}

char *json_opt_key(const char *text, const char *key, char *dst, int size)
{
    return find_key(text, key, dst, size, false);
}

// A request carries a method (its id is the sender's business); a reply
// carries a result and an id. Only a key its kind needs is missed aloud:
// every relayed message lacks one of the other kind's keys.
int parse_msg_header(const char *text, char *method, int *result, int *id)
{
    json_ptr root(text ? json_tokener_parse(text) : nullptr);
    if (!root || !json_object_is_type(root.get(), json_type_object)) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse json ! buf:%s\n", text ? text : "");
        return -1;
    }
    json_object *v = nullptr;
    bool request = has_key(root.get(), "method", &v);
    if (request)
        copy_text(method, LAST_METHOD_LEN, text_of(v));
    bool reply = has_key(root.get(), "result", &v);
    if (reply)
        *result = text_to_int(text_of(v));
    if (!request && !reply) {
        ovimar_log(OVIMAR_LOG_ERR, "key method not exist! \n");
        ovimar_log(OVIMAR_LOG_ERR, "key result not exist! \n");
    }
    if (has_key(root.get(), "id", &v))
        *id = text_to_int(text_of(v));
    else if (!request)
        ovimar_log(OVIMAR_LOG_ERR, "key id not exist! \n");
    return 0;
}

namespace {

constexpr size_t URL_LEN = 258; // with brackets around the domain
static_assert(sizeof(g_config_server.domain) + sizeof(g_config_auth.path) + 1 <= URL_LEN &&
                  sizeof(g_config_server.domain) + sizeof(g_config_get_mqtt_server.path) + 1 <=
                      URL_LEN,
              "a domain and a path always fit the URL uncut");

// URL syntax wants an IPv6 literal in brackets (libcurl refuses it bare);
// names, IPv4 and literals already in brackets stay as they are.
void url_build(char (&url)[URL_LEN], const char *domain, const char *path)
{
    const char *sep = strstr(domain, "://");
    int scheme = sep ? static_cast<int>(sep + 3 - domain) : 0;
    unsigned char a[sizeof(in6_addr)];
    bool v6 = inet_pton(AF_INET6, domain + scheme, a) == 1;
    snprintf(url, sizeof(url), "%.*s%s%s%s%s", scheme, domain, v6 ? "[" : "", domain + scheme,
             v6 ? "]" : "", path);
}

// Frees a collected text, whatever path leaves the request.
struct resp_owner {
    resp_buf b = {};
    ~resp_owner() { free(b.resp_text); }
};

// What differs between the two requests.
struct request_kind {
    const char *method;
    const char *path;
    // Adds the keys before the id; false when json-c refuses one.
    bool (*add_keys)(json_object *o);
    // Forgets what the response is about to replace.
    void (*forget)();
};

bool add_auth_keys(json_object *o)
{
    char identity[DEV_STATUS_BLOCK_LEN];
    memset(identity, 0, sizeof(identity));
    dev_status_get(identity);
    // The copy comes from a fixed record; terminate it all the same.
    identity[DEV_ID_LEN - 1] = '\0';
    identity[DEV_STATUS_BLOCK_LEN - 1] = '\0';
    return json_add_string(o, "cwmpVersion", g_config_auth.cwmp_version) &&
           json_add_string(o, "devId", identity) &&
           json_add_string(o, "secret", identity + DEV_ID_LEN);
}

bool add_server_keys(json_object *o)
{
    return json_add_string(o, "cwmpVersion", g_config_get_mqtt_server.cwmp_version) &&
           json_add_string(o, "cookie", g_mqtt_server.cookie) &&
           json_add_string(o, "accType", "router");
}

void forget_broker()
{
    auto &m = g_mqtt_server;
    memset(m.uuid, 0, sizeof(m.uuid));
    memset(m.BrokerAddress, 0, sizeof(m.BrokerAddress));
    memset(m.Topic, 0, sizeof(m.Topic));
    memset(m.Username, 0, sizeof(m.Username));
    memset(m.Password, 0, sizeof(m.Password));
    m.BrokerPort = 0;
    m.KeepAliveTime = 0;
}

int post_request(const request_kind &k)
{
    char url[URL_LEN];
    memset(url, 0, sizeof(url));
    resp_owner reply;
    int ret = ubus_call_collect(k.method, nullptr, &reply.b);
    if (ret != 0 || !reply.b.resp_text || !reply.b.resp_len) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to call ubus method %s\n", k.method);
        return ret;
    }
    json_ptr obj(json_tokener_parse(reply.b.resp_text));
    if (!obj || !json_object_is_type(obj.get(), json_type_object)) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse json buf:%s\n", reply.b.resp_text);
        return -1;
    }

    bool added = k.add_keys(obj.get());
    uint32_t id = msg_seq_next();
    set_last_request(id, k.method);
    char id_text[16];
    snprintf(id_text, sizeof(id_text), "%u", id);
    added = added && json_add_string(obj.get(), "id", id_text);
    const char *body = added ? json_object_to_json_string_ext(obj.get(), JSON_C_TO_STRING_PLAIN)
                             : nullptr;
    if (!body) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse json_object\n");
        return -1;
    }

    url_build(url, g_config_server.domain, k.path);
    ovimar_log(OVIMAR_LOG_INFO, "https_path %s payload %s", url, body);
    k.forget();

    resp_owner resp;
    ret = curl_process_https_post(url, body, static_cast<uint32_t>(strlen(body)), &resp.b);
    if (ret != 0) {
        ovimar_log(OVIMAR_LOG_INFO, "https path request failed ret:%d", ret);
        return ret;
    }
    // An empty body is a response of no valid form, not a missing one.
    ovimar_parse_response_msg(resp.b.resp_text ? resp.b.resp_text : "");
    return 0;
}

} // namespace

int https_dev_auth()
{
    return post_request({"devAuth", g_config_auth.path, add_auth_keys, clear_cookie});
}

int https_get_mqtt_server()
{
    post_request({"devGetMqttServer", g_config_get_mqtt_server.path, add_server_keys,
                  forget_broker});
    return 0;
}
