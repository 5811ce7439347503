// The agent's loop in tests, the same on the 21.02 libubox and later ones.
#pragma once

#include <cstdint>

extern "C" {
#include <libubox/uloop.h>
}

// Time left on a timer. The 21.02 libubox has only the int form, which
// later ones deprecate.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
inline int64_t remaining_ms(struct uloop_timeout *t)
{
    return uloop_timeout_remaining(t);
}
#pragma GCC diagnostic pop

// Runs the loop for ms. Not uloop_run_timeout: the 21.02 libubox runs that
// until uloop_end, whatever the timeout.
inline void run_loop_for(int ms)
{
    struct uloop_timeout stop = {};
    stop.cb = [](struct uloop_timeout *) { uloop_end(); };
    uloop_timeout_set(&stop, ms);
    uloop_run();
    uloop_timeout_cancel(&stop);
}
