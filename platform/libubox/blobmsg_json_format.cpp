// blobmsg attributes into JSON text, in the router library's exact form:
// compact ("{"a":1}") or indented with tabs, doubles as printf's "%f",
// strings escaped as JSON requires ("/" left alone) and UTF-8 passed through.
extern "C" {
#include "libubox/blobmsg_json.h"
}

#include <cinttypes>
#include <cstdio>
#include <string>

namespace {

struct writer {
    std::string out;
    blobmsg_json_format_t cb;
    void *priv;
    bool indent;
    int level;
};

void separator(writer &w)
{
    if (!w.indent)
        return;
    w.out += '\n';
    w.out.append(static_cast<size_t>(w.level > 16 ? 16 : w.level), '\t');
}

void put_string(writer &w, const char *str)
{
    static const char hex[] = "0123456789abcdef";
    w.out += '"';
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(str); *p; p++) {
        char esc = 0;
        switch (*p) {
        case '\b': esc = 'b'; break;
        case '\n': esc = 'n'; break;
        case '\t': esc = 't'; break;
        case '\r': esc = 'r'; break;
        case '"': esc = '"'; break;
        case '\\': esc = '\\'; break;
        default:
            if (*p < ' ')
                esc = 'u';
        }
        if (!esc) {
            w.out += static_cast<char>(*p);
            continue;
        }
        w.out += '\\';
        w.out += esc;
        if (esc == 'u') {
            w.out += "00";
            w.out += hex[*p >> 4];
            w.out += hex[*p & 15];
        }
    }
    w.out += '"';
}

void put_list(writer &w, blob_attr *attr, size_t len, bool array);

void put_element(writer &w, blob_attr *attr, bool without_name)
{
    if (!blobmsg_check_attr(attr, false))
        return;

    if (!without_name && blobmsg_name(attr)[0]) {
        put_string(w, blobmsg_name(attr));
        w.out += w.indent ? ": " : ":";
    }

    if (w.cb) {
        const char *text = w.cb(w.priv, attr);
        if (text) {
            w.out += text;
            return;
        }
    }

    void *data = blobmsg_data(attr);
    size_t len = blobmsg_data_len(attr);
    char buf[320];
    buf[0] = 0;
    switch (blob_id(attr)) {
    case BLOBMSG_TYPE_UNSPEC:
        snprintf(buf, sizeof(buf), "null");
        break;
    case BLOBMSG_TYPE_BOOL:
        snprintf(buf, sizeof(buf), "%s", *static_cast<uint8_t *>(data) ? "true" : "false");
        break;
    case BLOBMSG_TYPE_INT16:
        snprintf(buf, sizeof(buf), "%" PRId16, static_cast<int16_t>(blobmsg_get_u16(attr)));
        break;
    case BLOBMSG_TYPE_INT32:
        snprintf(buf, sizeof(buf), "%" PRId32, static_cast<int32_t>(blobmsg_get_u32(attr)));
        break;
    case BLOBMSG_TYPE_INT64:
        snprintf(buf, sizeof(buf), "%" PRId64, static_cast<int64_t>(blobmsg_get_u64(attr)));
        break;
    case BLOBMSG_TYPE_DOUBLE:
        snprintf(buf, sizeof(buf), "%lf", blobmsg_get_double(attr));
        break;
    case BLOBMSG_TYPE_STRING:
        put_string(w, static_cast<char *>(data));
        return;
    case BLOBMSG_TYPE_ARRAY:
        put_list(w, static_cast<blob_attr *>(data), len, true);
        return;
    case BLOBMSG_TYPE_TABLE:
        put_list(w, static_cast<blob_attr *>(data), len, false);
        return;
    }
    w.out += buf;
}

void put_list(writer &w, blob_attr *attr, size_t len, bool array)
{
    blob_attr *pos;
    size_t rem = len;
    bool first = true;

    w.out += array ? '[' : '{';
    w.level++;
    separator(w);
    __blob_for_each_attr(pos, attr, rem) {
        if (!first) {
            w.out += ',';
            separator(w);
        }
        put_element(w, pos, array);
        first = false;
    }
    w.level--;
    separator(w);
    w.out += array ? ']' : '}';
}

// Nothing written gives "" for an attribute that held something (one that
// failed its check) and no text for an empty one, as on the router.
char *finish(const writer &w, const blob_attr *attr)
{
    if (w.out.empty() && !blob_len(attr))
        return nullptr;
    auto *ret = static_cast<char *>(malloc(w.out.size() + 1));
    if (ret)
        memcpy(ret, w.out.c_str(), w.out.size() + 1);
    return ret;
}

} // namespace

extern "C" {

char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list,
                                  blobmsg_json_format_t cb, void *priv, int indent)
{
    if (!attr)
        return nullptr;
    writer w{{}, cb, priv, indent >= 0, indent >= 0 ? indent : 0};
    if (list) {
        bool array = blob_is_extended(attr) && blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY;
        put_list(w, static_cast<blob_attr *>(blobmsg_data(attr)), blobmsg_data_len(attr), array);
    } else {
        put_element(w, attr, false);
    }
    return finish(w, attr);
}

char *blobmsg_format_json_value_with_cb(struct blob_attr *attr, blobmsg_json_format_t cb,
                                        void *priv, int indent)
{
    if (!attr)
        return nullptr;
    writer w{{}, cb, priv, indent >= 0, indent >= 0 ? indent : 0};
    put_element(w, attr, true);
    return finish(w, attr);
}

} // extern "C"
