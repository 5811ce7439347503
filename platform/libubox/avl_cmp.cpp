extern "C" {
#include "libubox/avl-cmp.h"
}

#include <cstring>

extern "C" int avl_strcmp(const void *k1, const void *k2, void *)
{
    return strcmp(static_cast<const char *>(k1), static_cast<const char *>(k2));
}
