// JSON text (through json-c) into blobmsg attributes.
extern "C" {
#include "libubox/blobmsg_json.h"
}

#include <cstdint>
#include <json-c/json.h>
#include <json-c/json_object_iterator.h>

namespace {

// Releases a parsed json-c tree when the conversion is done.
struct json_owner {
    json_object *obj;
    ~json_owner() { json_object_put(obj); }
};

bool add_array(blob_buf *b, json_object *arr)
{
    size_t n = json_object_array_length(arr);
    for (size_t i = 0; i < n; i++)
        if (!blobmsg_add_json_element(b, nullptr, json_object_array_get_idx(arr, i)))
            return false;
    return true;
}

bool add_top(blob_buf *b, json_object *obj)
{
    if (!obj)
        return false;
    json_owner own{obj};
    if (json_object_get_type(obj) != json_type_object)
        return false;
    return blobmsg_add_object(b, obj);
}

} // namespace

extern "C" {

bool blobmsg_add_object(struct blob_buf *b, json_object *obj)
{
    json_object_iterator it = json_object_iter_begin(obj);
    json_object_iterator end = json_object_iter_end(obj);
    for (; !json_object_iter_equal(&it, &end); json_object_iter_next(&it))
        if (!blobmsg_add_json_element(b, json_object_iter_peek_name(&it),
                                      json_object_iter_peek_value(&it)))
            return false;
    return true;
}

bool blobmsg_add_json_element(struct blob_buf *b, const char *name, json_object *obj)
{
    bool ret = true;
    void *c;

    switch (json_object_get_type(obj)) {
    case json_type_object:
        c = blobmsg_open_table(b, name);
        ret = blobmsg_add_object(b, obj);
        blobmsg_close_table(b, c);
        break;
    case json_type_array:
        c = blobmsg_open_array(b, name);
        ret = add_array(b, obj);
        blobmsg_close_array(b, c);
        break;
    case json_type_string:
        blobmsg_add_string(b, name, json_object_get_string(obj));
        break;
    case json_type_boolean:
        blobmsg_add_u8(b, name, json_object_get_boolean(obj));
        break;
    case json_type_int: {
        // 32 bits when the value fits, as the router's library does.
        int64_t v = json_object_get_int64(obj);
        if (v >= INT32_MIN && v <= INT32_MAX)
            blobmsg_add_u32(b, name, static_cast<uint32_t>(v));
        else
            blobmsg_add_u64(b, name, static_cast<uint64_t>(v));
        break;
    }
    case json_type_double:
        blobmsg_add_double(b, name, json_object_get_double(obj));
        break;
    case json_type_null:
        blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, name, nullptr, 0);
        break;
    default:
        return false;
    }
    return ret;
}

bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str)
{
    return str && add_top(b, json_tokener_parse(str));
}

bool blobmsg_add_json_from_file(struct blob_buf *b, const char *file)
{
    return file && add_top(b, json_object_from_file(file));
}

} // extern "C"
