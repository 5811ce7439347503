// Appending blobmsg attributes: fields, nested tables and arrays, strings
// built in place.
extern "C" {
#include "libubox/blobmsg.h"
}

#include <cstdio>

namespace {

long offset_of(blob_buf *buf, const void *p)
{
    return static_cast<const char *>(p) - static_cast<char *>(buf->buf);
}

// A new named attribute with room for payload_len bytes; *data points there.
blob_attr *new_attr(blob_buf *buf, int type, const char *name, unsigned int payload_len,
                    void **data)
{
    if (!name)
        name = "";
    size_t namelen = strlen(name);
    if (namelen > 0xffff)
        return nullptr;
    int len = blobmsg_hdrlen(static_cast<unsigned int>(namelen)) + static_cast<int>(payload_len);
    blob_attr *attr = blob_new(buf, type, len);
    if (!attr)
        return nullptr;

    attr->id_len |= cpu_to_be32(BLOB_ATTR_EXTENDED);
    auto *hdr = static_cast<blobmsg_hdr *>(blob_data(attr));
    hdr->namelen = cpu_to_be16(static_cast<uint16_t>(namelen));
    memcpy(hdr->name, name, namelen);

    // The name's NUL and padding are zero, whatever the reused buffer held.
    char *end = static_cast<char *>(blobmsg_data(attr));
    char *pad = reinterpret_cast<char *>(hdr->name) + namelen;
    memset(pad, 0, end - pad);
    *data = end;
    return attr;
}

} // namespace

extern "C" {

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name,
                      const void *data, unsigned int len)
{
    void *dest;
    if (!new_attr(buf, type, name, len, &dest))
        return -1;
    if (len > 0)
        memcpy(dest, data, len);
    return 0;
}

void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array)
{
    long offset = offset_of(buf, buf->head);
    void *data;
    if (!name)
        name = "";
    blob_attr *attr = new_attr(buf, array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE, name, 0, &data);
    if (!attr)
        return nullptr;
    // The parent counts the nested header now and the rest (name header
    // included) when it is closed.
    blob_attr *parent = static_cast<blob_attr *>(static_cast<void *>(
        static_cast<char *>(buf->buf) + offset));
    blob_set_raw_len(parent, blob_pad_len(parent) - blobmsg_hdrlen(strlen(name)));
    buf->head = attr;
    return reinterpret_cast<void *>(offset + BLOB_COOKIE);
}

void *blobmsg_alloc_string_buffer(struct blob_buf *buf, const char *name, unsigned int maxlen)
{
    void *data;
    blob_attr *attr = new_attr(buf, BLOBMSG_TYPE_STRING, name, maxlen, &data);
    if (!attr)
        return nullptr;
    // Not committed yet: the head does not count it, and it holds only its
    // name header until blobmsg_add_string_buffer().
    blob_set_raw_len(buf->head, blob_pad_len(buf->head) - blob_pad_len(attr));
    blob_set_raw_len(attr, blob_raw_len(attr) - maxlen);
    return data;
}

void *blobmsg_realloc_string_buffer(struct blob_buf *buf, unsigned int maxlen)
{
    blob_attr *attr = blob_next(buf->head);
    long end = offset_of(buf, attr) + static_cast<long>(blob_pad_len(attr));
    long required = static_cast<long>(maxlen) - (buf->buflen - end);
    if (required > 0) {
        if (!blob_buf_grow(buf, static_cast<int>(required)))
            return nullptr;
        attr = blob_next(buf->head);
    }
    return blobmsg_data(attr);
}

void blobmsg_add_string_buffer(struct blob_buf *buf)
{
    blob_attr *attr = blob_next(buf->head);
    size_t len = strlen(static_cast<char *>(blobmsg_data(attr))) + 1;
    blob_set_raw_len(attr, static_cast<unsigned int>(blob_raw_len(attr) + len));
    blob_fill_pad(attr);
    blob_set_raw_len(buf->head, static_cast<unsigned int>(blob_raw_len(buf->head) + blob_pad_len(attr)));
}

int blobmsg_vprintf(struct blob_buf *buf, const char *name, const char *format, va_list arg)
{
    va_list arg2;
    va_copy(arg2, arg);
    int len = vsnprintf(nullptr, 0, format, arg2);
    va_end(arg2);
    if (len < 0)
        return -1;

    auto *sbuf = static_cast<char *>(blobmsg_alloc_string_buffer(buf, name, len + 1));
    if (!sbuf)
        return -1;
    int ret = vsnprintf(sbuf, len + 1, format, arg);
    if (ret < 0)
        return -1;
    blobmsg_add_string_buffer(buf);
    return ret;
}

int blobmsg_printf(struct blob_buf *buf, const char *name, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int ret = blobmsg_vprintf(buf, name, format, ap);
    va_end(ap);
    return ret;
}

} // extern "C"
