// Sorting the children of a blob attribute by id against a policy table.
extern "C" {
#include "libubox/blob.h"
}

namespace {

bool accept(const blob_attr_info *info, blob_attr *pos)
{
    if (!info)
        return true;
    unsigned int len = static_cast<unsigned int>(blob_len(pos));
    if (info->type < BLOB_ATTR_LAST && info->type != BLOB_ATTR_UNSPEC &&
        !blob_check_type(blob_data(pos), len, static_cast<int>(info->type)))
        return false;
    if (info->minlen && len < info->minlen)
        return false;
    if (info->maxlen && len > info->maxlen)
        return false;
    return !info->validate || info->validate(info, pos);
}

// Later attributes with the same id replace earlier ones.
int take(blob_attr *pos, blob_attr **data, const blob_attr_info *info, int max)
{
    unsigned int id = blob_id(pos);
    if (id >= static_cast<unsigned int>(max) || !accept(info ? &info[id] : nullptr, pos))
        return 0;
    int fresh = data[id] ? 0 : 1;
    data[id] = pos;
    return fresh;
}

} // namespace

extern "C" {

int blob_parse(struct blob_attr *attr, struct blob_attr **data,
               const struct blob_attr_info *info, int max)
{
    blob_attr *pos;
    size_t rem;
    int found = 0;

    memset(data, 0, sizeof(*data) * max);
    blob_for_each_attr(pos, attr, rem)
        found += take(pos, data, info, max);
    return found;
}

int blob_parse_untrusted(struct blob_attr *attr, size_t attr_len, struct blob_attr **data,
                         const struct blob_attr_info *info, int max)
{
    memset(data, 0, sizeof(*data) * max);
    if (!attr || attr_len < sizeof(blob_attr))
        return 0;
    size_t len = blob_raw_len(attr);
    if (len < sizeof(blob_attr) || len > attr_len)
        return 0;

    int found = 0;
    size_t rem = len - sizeof(blob_attr);
    auto *pos = static_cast<blob_attr *>(blob_data(attr));
    while (rem >= sizeof(blob_attr)) {
        size_t raw = blob_raw_len(pos);
        if (raw < sizeof(blob_attr) || raw > rem)
            break;
        found += take(pos, data, info, max);
        size_t pad = blob_pad_len(pos);
        if (pad >= rem)
            break;
        rem -= pad;
        pos = blob_next(pos);
    }
    return found;
}

} // extern "C"
