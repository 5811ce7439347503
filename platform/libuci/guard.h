// Keeps C++ allocation failures from crossing the C API.
#pragma once

#include <new>

#include "uci_int.h"

namespace uci {

template <class F> int guarded(uci_context *ctx, F f)
{
    try {
        return f();
    } catch (const std::bad_alloc &) {
        return fail(ctx, UCI_ERR_MEM);
    }
}

} // namespace uci
