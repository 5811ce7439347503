// The bus text conversion: any bytes must shrink or stay and never
// overrun; a JSON object sent through the bus formatter must come out as
// JSON of the same values.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <json-c/json.h>

#include "json.h"
#include "ubus.h"

namespace {
std::string plain(json_object *o)
{
    return json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string raw(reinterpret_cast<const char *>(data), size);
    std::string copy = raw;
    size_t n = bus_text_unescape(copy.data());
    if (n > strlen(raw.c_str()) || n != strlen(copy.c_str()))
        __builtin_trap();

    json_ptr in(json_tokener_parse(raw.c_str()));
    if (!in || !json_object_is_type(in.get(), json_type_object))
        return 0;
    blob_buf b = {};
    blob_buf_init(&b, 0);
    if (blobmsg_add_json_from_string(&b, raw.c_str())) {
        char *text = blobmsg_format_json_with_cb(b.head, true, nullptr, nullptr, -1);
        if (text) {
            json_ptr formatted(json_tokener_parse(text));
            bus_text_unescape(text);
            json_ptr handed_on(json_tokener_parse(text));
            // Compared as re-written text: NaN equals nothing, not even itself.
            if (formatted && (!handed_on || plain(formatted.get()) != plain(handed_on.get())))
                __builtin_trap();
            free(text);
        }
    }
    blob_buf_free(&b);
    return 0;
}
