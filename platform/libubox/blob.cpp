// Blob buffers: a growing byte buffer whose head attribute is the one new
// attributes are appended to. Nesting cookies are offsets, not pointers,
// because growing may move the buffer.
extern "C" {
#include "libubox/blob.h"
}

namespace {

constexpr unsigned int HDR = sizeof(blob_attr);

// Minimum payload length per BLOB_ATTR_* type; integers must match exactly.
constexpr unsigned int TYPE_LEN[BLOB_ATTR_LAST] = {
    0, 0, 0, 1, 1, 2, 4, 8, 8,
};

char *base(blob_buf *buf)
{
    return static_cast<char *>(buf->buf);
}

long offset_of(blob_buf *buf, const void *p)
{
    return static_cast<const char *>(p) - base(buf);
}

blob_attr *at(blob_buf *buf, long offset)
{
    return reinterpret_cast<blob_attr *>(base(buf) + offset);
}

void init_attr(blob_attr *attr, int id, unsigned int len)
{
    uint32_t v = (static_cast<uint32_t>(id) << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK;
    v |= len & BLOB_ATTR_LEN_MASK;
    attr->id_len = cpu_to_be32(v);
}

bool grow_default(blob_buf *buf, int minlen)
{
    int delta = (minlen / 256 + 1) * 256;
    void *p = realloc(buf->buf, static_cast<size_t>(buf->buflen) + delta);
    if (!p)
        return false;
    buf->buf = p;
    memset(base(buf) + buf->buflen, 0, delta);
    buf->buflen += delta;
    return true;
}

// Places an attribute of the given payload length at pos, growing the
// buffer as needed; the head's length is the caller's business.
blob_attr *add_at(blob_buf *buf, blob_attr *pos, int id, int payload)
{
    long offset = buf->buf ? offset_of(buf, pos) : 0;
    long required = offset + HDR + payload - buf->buflen;
    if (required > 0) {
        if (!blob_buf_grow(buf, static_cast<int>(required)))
            return nullptr;
    }
    blob_attr *attr = at(buf, offset);
    init_attr(attr, id, HDR + payload);
    blob_fill_pad(attr);
    return attr;
}

} // namespace

extern "C" {

void blob_fill_pad(struct blob_attr *attr)
{
    size_t raw = blob_raw_len(attr);
    size_t pad = blob_pad_len(attr);
    if (pad > raw)
        memset(reinterpret_cast<char *>(attr) + raw, 0, pad - raw);
}

void blob_set_raw_len(struct blob_attr *attr, unsigned int len)
{
    len &= BLOB_ATTR_LEN_MASK;
    attr->id_len &= ~cpu_to_be32(BLOB_ATTR_LEN_MASK);
    attr->id_len |= cpu_to_be32(len);
}

bool blob_attr_equal(const struct blob_attr *a1, const struct blob_attr *a2)
{
    if (!a1 || !a2)
        return a1 == a2;
    if (blob_pad_len(a1) != blob_pad_len(a2))
        return false;
    return !memcmp(a1, a2, blob_pad_len(a1));
}

bool blob_buf_grow(struct blob_buf *buf, int required)
{
    long head = buf->head ? offset_of(buf, buf->head) : 0;
    if (static_cast<long>(buf->buflen) + required > BLOB_ATTR_LEN_MASK)
        return false;
    if (!buf->grow || !buf->grow(buf, required))
        return false;
    buf->head = at(buf, head);
    return true;
}

int blob_buf_init(struct blob_buf *buf, int id)
{
    if (!buf->grow)
        buf->grow = grow_default;
    buf->head = static_cast<blob_attr *>(buf->buf);
    if (!add_at(buf, static_cast<blob_attr *>(buf->buf), id, 0))
        return -ENOMEM;
    return 0;
}

void blob_buf_free(struct blob_buf *buf)
{
    free(buf->buf);
    buf->buf = nullptr;
    buf->head = nullptr;
    buf->buflen = 0;
}

struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload)
{
    blob_attr *attr = add_at(buf, blob_next(buf->head), id, payload);
    if (!attr)
        return nullptr;
    blob_set_raw_len(buf->head, blob_pad_len(buf->head) + blob_pad_len(attr));
    return attr;
}

void *blob_nest_start(struct blob_buf *buf, int id)
{
    long offset = offset_of(buf, buf->head);
    blob_attr *attr = blob_new(buf, id, 0);
    if (!attr)
        return nullptr;
    buf->head = attr;
    return reinterpret_cast<void *>(offset + BLOB_COOKIE);
}

void blob_nest_end(struct blob_buf *buf, void *cookie)
{
    blob_attr *parent = at(buf, reinterpret_cast<long>(cookie) - BLOB_COOKIE);
    blob_set_raw_len(parent, blob_pad_len(parent) + blob_len(buf->head));
    buf->head = parent;
}

struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len)
{
    blob_attr *attr = blob_new(buf, id, static_cast<int>(len));
    if (!attr)
        return nullptr;
    if (len)
        memcpy(blob_data(attr), ptr, len);
    return attr;
}

struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, unsigned int len)
{
    if (len < HDR || !ptr)
        return nullptr;
    blob_attr *attr = add_at(buf, blob_next(buf->head), 0, static_cast<int>(len - HDR));
    if (!attr)
        return nullptr;
    blob_set_raw_len(buf->head, blob_pad_len(buf->head) + len);
    memcpy(attr, ptr, len);
    return attr;
}

bool blob_check_type(const void *ptr, unsigned int len, int type)
{
    const char *data = static_cast<const char *>(ptr);
    if (type < 0 || type >= BLOB_ATTR_LAST)
        return false;
    if (type >= BLOB_ATTR_INT8 && type <= BLOB_ATTR_INT64) {
        if (len != TYPE_LEN[type])
            return false;
    } else if (len < TYPE_LEN[type]) {
        return false;
    }
    if (type == BLOB_ATTR_STRING && data[len - 1] != 0)
        return false;
    return true;
}

struct blob_attr *blob_memdup(struct blob_attr *attr)
{
    size_t size = blob_pad_len(attr);
    auto *ret = static_cast<blob_attr *>(malloc(size));
    if (ret)
        memcpy(ret, attr, size);
    return ret;
}

} // extern "C"
