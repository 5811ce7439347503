// Timeouts: one list sorted by deadline, on the monotonic clock.
#include "uloop_int.h"

#include <climits>
#include <ctime>

using namespace uloop_int;

namespace {

LIST_HEAD(timeouts);

void set_us(timeval &tv, int64_t us)
{
    tv.tv_sec = static_cast<time_t>(us / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
}

// Whole milliseconds until the deadline, rounded up: never early.
int64_t remaining_ms(const uloop_timeout *t, int64_t now)
{
    int64_t diff = tv_to_us(t->time) - now;
    return diff > 0 ? (diff + 999) / 1000 : diff / 1000;
}

} // namespace

namespace uloop_int {

int64_t now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t tv_to_us(const timeval &tv)
{
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

void process_timeouts()
{
    // One reading of the clock: a callback that re-arms itself for 0 ms
    // lands after it and waits for the next pass instead of looping here.
    int64_t now = now_us();
    while (!list_empty(&timeouts)) {
        uloop_timeout *t = list_first_entry(&timeouts, uloop_timeout, list);
        if (tv_to_us(t->time) > now)
            break;
        uloop_timeout_cancel(t);
        if (t->cb)
            t->cb(t);
    }
}

int64_t next_timeout_ms()
{
    if (list_empty(&timeouts))
        return -1;
    uloop_timeout *t = list_first_entry(&timeouts, uloop_timeout, list);
    int64_t ms = remaining_ms(t, now_us());
    return ms < 0 ? 0 : ms;
}

void clear_timeouts()
{
    uloop_timeout *t, *tmp;
    list_for_each_entry_safe(t, tmp, &timeouts, list)
        uloop_timeout_cancel(t);
}

} // namespace uloop_int

extern "C" {

int uloop_timeout_add(struct uloop_timeout *timeout)
{
    if (timeout->pending)
        return -1;

    // After every timeout with the same deadline: equal deadlines fire in
    // the order they were armed.
    int64_t when = tv_to_us(timeout->time);
    list_head *h = &timeouts;
    uloop_timeout *tmp;
    list_for_each_entry(tmp, &timeouts, list) {
        if (tv_to_us(tmp->time) > when) {
            h = &tmp->list;
            break;
        }
    }
    list_add_tail(&timeout->list, h);
    timeout->pending = true;
    return 0;
}

int uloop_timeout_set(struct uloop_timeout *timeout, int msecs)
{
    if (timeout->pending)
        uloop_timeout_cancel(timeout);
    set_us(timeout->time, now_us() + static_cast<int64_t>(msecs) * 1000);
    return uloop_timeout_add(timeout);
}

int uloop_timeout_cancel(struct uloop_timeout *timeout)
{
    if (!timeout->pending)
        return -1;
    list_del(&timeout->list);
    timeout->pending = false;
    return 0;
}

int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout)
{
    if (!timeout->pending)
        return -1;
    return remaining_ms(timeout, now_us());
}

int uloop_timeout_remaining(struct uloop_timeout *timeout)
{
    int64_t ms = uloop_timeout_remaining64(timeout);
    if (ms > INT_MAX)
        return INT_MAX;
    if (ms < INT_MIN)
        return INT_MIN;
    return static_cast<int>(ms);
}

int uloop_get_next_timeout(void)
{
    int64_t ms = next_timeout_ms();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

} // extern "C"
