// Validation of blobmsg attributes and parsing against policy tables.
extern "C" {
#include "libubox/blobmsg.h"
}

namespace {

// The blob type that each blobmsg type's payload must satisfy (0: none).
constexpr int PAYLOAD_TYPE[__BLOBMSG_TYPE_LAST] = {
    BLOB_ATTR_BINARY,  // UNSPEC
    0,                 // ARRAY
    0,                 // TABLE
    BLOB_ATTR_STRING,  // STRING
    BLOB_ATTR_INT64,   // INT64
    BLOB_ATTR_INT32,   // INT32
    BLOB_ATTR_INT16,   // INT16
    BLOB_ATTR_INT8,    // INT8 / BOOL
    BLOB_ATTR_DOUBLE,  // DOUBLE
};

// The name header lies within both the attribute and [attr, attr + len),
// its name is NUL-terminated and, if required, not empty.
bool check_name(const blob_attr *attr, size_t len, bool name)
{
    if (!blob_is_extended(attr))
        return !name;
    size_t alen = blob_len(attr);
    if (alen < sizeof(blobmsg_hdr) || sizeof(blob_attr) + sizeof(blobmsg_hdr) > len)
        return false;
    auto *hdr = static_cast<const blobmsg_hdr *>(blob_data(attr));
    uint16_t namelen = blobmsg_namelen(hdr);
    if (name && !namelen)
        return false;
    size_t hdrlen = static_cast<size_t>(blobmsg_hdrlen(namelen));
    if (hdrlen > alen || sizeof(blob_attr) + hdrlen > len)
        return false;
    return hdr->name[namelen] == 0;
}

bool type_matches(const blob_attr *attr, int type)
{
    int t = blobmsg_type(attr);
    if (type == BLOBMSG_CAST_INT64)
        return t == BLOBMSG_TYPE_INT64 || t == BLOBMSG_TYPE_INT32 ||
               t == BLOBMSG_TYPE_INT16 || t == BLOBMSG_TYPE_INT8;
    return type == BLOBMSG_TYPE_UNSPEC || t == type;
}

} // namespace

extern "C" {

bool blobmsg_check_attr(const struct blob_attr *attr, bool name)
{
    return blobmsg_check_attr_len(attr, name, blob_raw_len(attr));
}

bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len)
{
    if (len < sizeof(blob_attr))
        return false;
    size_t raw = blob_raw_len(attr);
    if (raw < sizeof(blob_attr) || raw > len)
        return false;
    if (!check_name(attr, len, name))
        return false;

    unsigned int id = blob_id(attr);
    if (id > BLOBMSG_TYPE_LAST)
        return false;
    if (!PAYLOAD_TYPE[id])
        return true;
    return blob_check_type(blobmsg_data(attr), static_cast<unsigned int>(blobmsg_data_len(attr)),
                           PAYLOAD_TYPE[id]);
}

int blobmsg_check_array(const struct blob_attr *attr, int type)
{
    return blobmsg_check_array_len(attr, type, blob_raw_len(attr));
}

int blobmsg_check_array_len(const struct blob_attr *attr, int type, size_t len)
{
    if (type > BLOBMSG_TYPE_LAST)
        return -1;
    if (!blobmsg_check_attr_len(attr, false, len))
        return -1;

    bool name;
    switch (blobmsg_type(attr)) {
    case BLOBMSG_TYPE_TABLE:
        name = true;
        break;
    case BLOBMSG_TYPE_ARRAY:
        name = false;
        break;
    default:
        return -1;
    }

    int size = 0;
    blob_attr *cur;
    size_t rem = blobmsg_data_len(attr);
    __blobmsg_for_each_attr(cur, attr, rem) {
        if (type != BLOBMSG_TYPE_UNSPEC && blobmsg_type(cur) != type)
            return -1;
        if (!blobmsg_check_attr_len(cur, name, rem))
            return -1;
        size++;
    }
    return size;
}

bool blobmsg_check_attr_list(const struct blob_attr *attr, int type)
{
    return blobmsg_check_array(attr, type) >= 0;
}

bool blobmsg_check_attr_list_len(const struct blob_attr *attr, int type, size_t len)
{
    return blobmsg_check_array_len(attr, type, len) >= 0;
}

int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len,
                        struct blob_attr **tb, void *data, unsigned int len)
{
    memset(tb, 0, policy_len * sizeof(*tb));
    if (!data || !len || policy_len <= 0)
        return 0;

    int i = 0;
    blob_attr *attr;
    size_t rem = len;
    __blob_for_each_attr(attr, data, rem) {
        if (!type_matches(attr, policy[i].type))
            continue;
        if (!blobmsg_check_attr_len(attr, false, rem))
            return -1;
        tb[i++] = attr;
        if (i == policy_len)
            break;
    }
    return 0;
}

int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len,
                  struct blob_attr **tb, void *data, unsigned int len)
{
    memset(tb, 0, policy_len * sizeof(*tb));
    if (!data || !len)
        return -EINVAL;

    blob_attr *attr;
    size_t rem = len;
    __blob_for_each_attr(attr, data, rem) {
        if (!blob_is_extended(attr) || blob_len(attr) < sizeof(blobmsg_hdr))
            continue;
        auto *hdr = static_cast<const blobmsg_hdr *>(blob_data(attr));
        size_t namelen = blobmsg_namelen(hdr);
        for (int i = 0; i < policy_len; i++) {
            const char *pname = policy[i].name;
            if (!pname || !type_matches(attr, policy[i].type))
                continue;
            if (strlen(pname) != namelen)
                continue;
            if (!blobmsg_check_attr_len(attr, true, rem))
                return -1;
            // The first attribute of a name wins.
            if (tb[i] || memcmp(pname, hdr->name, namelen) != 0)
                continue;
            tb[i] = attr;
        }
    }
    return 0;
}

} // extern "C"
