// calloc_a: one allocation for a record and the variable parts behind it.
extern "C" {
#include "libubox/utils.h"
}

#include <cstdarg>
#include <cstdlib>

namespace {

constexpr size_t ALIGN = sizeof(void *) > sizeof(long double) ? sizeof(void *) : sizeof(long double);

size_t aligned(size_t len)
{
    return (len + ALIGN - 1) & ~(ALIGN - 1);
}

} // namespace

extern "C" void *__calloc_a(size_t len, ...)
{
    va_list ap;
    size_t total = aligned(len);

    va_start(ap, len);
    while (va_arg(ap, void **))
        total += aligned(va_arg(ap, size_t));
    va_end(ap);

    char *ret = static_cast<char *>(calloc(1, total));
    if (!ret)
        return nullptr;

    char *p = ret + aligned(len);
    va_start(ap, len);
    while (void **addr = va_arg(ap, void **)) {
        *addr = p;
        p += aligned(va_arg(ap, size_t));
    }
    va_end(ap);
    return ret;
}
