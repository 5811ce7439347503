// State shared by the parts of the host event loop. One loop per process,
// as on the router.
#pragma once

#include <cstdint>

extern "C" {
#include "libubox/uloop.h"
}

namespace uloop_int {

constexpr int MAX_EVENTS = 10;

struct ready_fd {
    uloop_fd *fd;  // null once deleted, so later entries of a batch are skipped
    unsigned int events;
};

// A descriptor callback in progress; nested runs buffer further events of an
// edge-triggered descriptor here instead of calling it again.
struct dispatch_frame {
    dispatch_frame *next;
    uloop_fd *fd;
    unsigned int events;
};

struct loop_state {
    int poll_fd = -1;
    ready_fd batch[MAX_EVENTS];
    int batch_pos = 0;
    int batch_len = 0;
    dispatch_frame *frames = nullptr;
    int run_depth = 0;
};

extern loop_state g_loop;

int64_t now_us();
int64_t tv_to_us(const timeval &tv);

// Fires every timeout due at the time of the call, earliest first.
void process_timeouts();
// Milliseconds until the next timeout (rounded up), or -1 with none.
int64_t next_timeout_ms();
void clear_timeouts();

// Waits up to timeout_ms for descriptor events if none are pending, then
// runs one descriptor callback. Returns whether one ran.
bool run_events(int timeout_ms);
void clear_batch();

} // namespace uloop_int
