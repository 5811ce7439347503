#include "request.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "json.h"
#include "log.h"

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

// Decimal with atoi's reading, but clamped instead of undefined on overflow.
int to_int(const char *s)
{
    errno = 0;
    long v = strtol(s, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

void copy_text(char *dst, int size, const char *src)
{
    if (size <= 0)
        return;
    strncpy(dst, src, size - 1);
    dst[size - 1] = '\0';
}

} // namespace

char *json_get_key(const char *text, const char *key, char *dst, int size)
{
    json_ptr root(text ? json_tokener_parse(text) : nullptr);
    if (!root) {
        ovimar_log(OVIMAR_LOG_ERR, "ERROR: json_verify failed <%s>! \n", text ? text : "");
        return nullptr;
    }
    json_object *v = nullptr;
    if (!json_object_is_type(root.get(), json_type_object) ||
        !json_object_object_get_ex(root.get(), key, &v) || !v) {
        ovimar_log(OVIMAR_LOG_ERR, "ERROR: key <%s> not exist! \n", key);
        return nullptr;
    }
    copy_text(dst, size, text_of(v));
    return dst;
}

int parse_msg_header(const char *text, char *method, int *result, int *id)
{
    json_ptr root(text ? json_tokener_parse(text) : nullptr);
    if (!root || !json_object_is_type(root.get(), json_type_object)) {
        ovimar_log(OVIMAR_LOG_ERR, "failed to parse json ! buf:%s\n", text ? text : "");
        return -1;
    }
    json_object *v = nullptr;
    if (json_object_object_get_ex(root.get(), "method", &v) && v)
        copy_text(method, LAST_METHOD_LEN, text_of(v));
    else
        ovimar_log(OVIMAR_LOG_ERR, "key method not exist! \n");
    if (json_object_object_get_ex(root.get(), "result", &v) && v)
        *result = to_int(text_of(v));
    else
        ovimar_log(OVIMAR_LOG_ERR, "key result not exist! \n");
    if (json_object_object_get_ex(root.get(), "id", &v) && v)
        *id = to_int(text_of(v));
    else
        ovimar_log(OVIMAR_LOG_ERR, "key id not exist! \n");
    return 0;
}

// Not built yet: no request leaves, so the machine retries on schedule.
int https_dev_auth()
{
    return -1;
}

int https_get_mqtt_server()
{
    return 0;
}
