// Timeouts: order, precision, cancellation and re-arming from callbacks,
// time-limited runs, and an idle loop that sleeps.
#include "uloop_test.h"

#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using clk = std::chrono::steady_clock;

struct Timer {
    uloop_timeout t{};  // first member: the callback finds its Timer
    const char *name = "";
    std::vector<std::string> *log = nullptr;
    clk::time_point armed;
    int64_t fired_after = -1;
    int fires = 0;
    Timer *victim = nullptr;  // cancelled by this timer's callback
    bool end_loop = false;
};

Timer *self(uloop_timeout *t) { return reinterpret_cast<Timer *>(t); }

void on_timer(uloop_timeout *t)
{
    Timer *me = self(t);
    me->fires++;
    me->fired_after = ms_since(me->armed);
    if (me->log)
        me->log->push_back(me->name);
    if (me->victim)
        uloop_timeout_cancel(&me->victim->t);
    if (me->end_loop)
        uloop_end();
}

void arm(Timer &tm, int ms, std::vector<std::string> *log = nullptr)
{
    tm.t.cb = on_timer;
    tm.log = log;
    tm.armed = clk::now();
    ASSERT_EQ(uloop_timeout_set(&tm.t, ms), 0);
}

using Timeouts = Loop;

TEST_F(Timeouts, FireInDeadlineOrderNeverEarly)
{
    std::vector<std::string> log;
    Timer a{}, b{}, c{}, d{};
    a.name = "30";
    b.name = "10a";
    c.name = "20";
    d.name = "10b";
    arm(a, 30, &log);
    arm(b, 10, &log);
    arm(c, 20, &log);
    arm(d, 10, &log);
    a.end_loop = true;

    EXPECT_EQ(uloop_run(), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"10a", "10b", "20", "30"}));
    const std::vector<std::pair<Timer *, int>> expected = {{&a, 30}, {&b, 10}, {&c, 20}, {&d, 10}};
    for (auto [tm, ms] : expected) {
        EXPECT_GE(tm->fired_after, ms) << tm->name;
        EXPECT_LT(tm->fired_after, ms + 100) << tm->name;
        EXPECT_FALSE(tm->t.pending);
    }
}

TEST_F(Timeouts, CancelledFromCallbackEvenWhenDueInSamePass)
{
    std::vector<std::string> log;
    Timer first{}, due_too{}, later{}, stop{};
    first.name = "first";
    due_too.name = "due_too";
    later.name = "later";
    arm(first, 5, &log);
    arm(due_too, 5, &log);
    arm(later, 40, &log);
    arm(stop, 80);
    first.victim = &due_too;
    due_too.victim = &later;
    stop.end_loop = true;
    // Both 5 ms timers are due when the loop first looks.
    usleep(20 * 1000);

    uloop_run();
    EXPECT_EQ(log, (std::vector<std::string>{"first", "later"}));
    EXPECT_EQ(due_too.fires, 0);
}

TEST_F(Timeouts, ReaddingPendingIsRefusedAndSetRearms)
{
    Timer t{}, stop{};
    arm(t, 500);
    EXPECT_EQ(uloop_timeout_add(&t.t), -1);  // already pending
    arm(t, 10);                               // set moves it
    arm(stop, 100);
    stop.end_loop = true;

    uloop_run();
    EXPECT_EQ(t.fires, 1);
    EXPECT_GE(t.fired_after, 10);
    EXPECT_LT(t.fired_after, 150);
    EXPECT_EQ(uloop_timeout_cancel(&t.t), -1);  // no longer pending
}

struct Rearming {
    uloop_timeout t{};
    int fires = 0;
    int max = 0;
    int ms = 0;
};

void rearm(uloop_timeout *t)
{
    auto *r = reinterpret_cast<Rearming *>(t);
    if (++r->fires < r->max)
        uloop_timeout_set(t, r->ms);
    else
        uloop_end();
}

TEST_F(Timeouts, ZeroRearmDoesNotStarveOtherTimers)
{
    Rearming spin{};
    spin.t.cb = rearm;
    spin.max = 1000000;  // a runaway ends the loop rather than hang the test
    spin.ms = 0;
    Timer other{};
    arm(other, 30);
    other.end_loop = true;
    uloop_timeout_set(&spin.t, 0);

    uloop_run();
    EXPECT_EQ(other.fires, 1);
    EXPECT_LT(spin.fires, spin.max);
    uloop_timeout_cancel(&spin.t);
}

TEST_F(Timeouts, RemainingAndNextTimeout)
{
    Timer t{}, near{};
    EXPECT_EQ(uloop_timeout_remaining64(&t.t), -1);
    EXPECT_EQ(uloop_get_next_timeout(), -1);
    arm(t, 1000);
    int64_t left = uloop_timeout_remaining64(&t.t);
    EXPECT_LE(left, 1000);
    EXPECT_GE(left, 990);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    EXPECT_NEAR(uloop_timeout_remaining(&t.t), left, 5);
#pragma GCC diagnostic pop
    arm(near, 200);
    int next = uloop_get_next_timeout();
    EXPECT_LE(next, 200);
    EXPECT_GE(next, 190);
    EXPECT_EQ(uloop_timeout_cancel(&near.t), 0);
    EXPECT_GE(uloop_get_next_timeout(), 990);
    EXPECT_EQ(uloop_timeout_cancel(&t.t), 0);
    EXPECT_EQ(uloop_timeout_remaining64(&t.t), -1);
}

TEST_F(Timeouts, TimeLimitedRunReturnsAtLimitAndFiresTimersOnTheWay)
{
    Timer early{}, far{};
    arm(early, 50);
    arm(far, 5000);
    auto t0 = clk::now();
    EXPECT_EQ(uloop_run_timeout(200), 0);
    int64_t took = ms_since(t0);
    EXPECT_GE(took, 200);
    EXPECT_LT(took, 400);
    EXPECT_EQ(early.fires, 1);
    EXPECT_EQ(far.fires, 0);
    EXPECT_TRUE(far.t.pending);
    uloop_timeout_cancel(&far.t);

    t0 = clk::now();
    EXPECT_EQ(uloop_run_timeout(0), 0);
    EXPECT_LT(ms_since(t0), 50);
}

TEST_F(Timeouts, EndFromCallbackReturnsZeroAndShowsCancelling)
{
    struct Probe {
        uloop_timeout t{};
        bool cancelling_before = true;
        bool cancelling_after = false;
    } p;
    p.t.cb = [](uloop_timeout *t) {
        auto *pr = reinterpret_cast<Probe *>(t);
        pr->cancelling_before = uloop_cancelling();
        uloop_end();
        pr->cancelling_after = uloop_cancelling();
    };
    uloop_timeout_set(&p.t, 1);
    EXPECT_FALSE(uloop_cancelling());
    EXPECT_EQ(uloop_run(), 0);
    EXPECT_FALSE(p.cancelling_before);
    EXPECT_TRUE(p.cancelling_after);
    EXPECT_TRUE(uloop_cancelled);
    EXPECT_FALSE(uloop_cancelling());  // not inside a run any more
}

TEST_F(Timeouts, DoneForgetsPendingTimeouts)
{
    Timer t{};
    arm(t, 10);
    uloop_done();
    EXPECT_FALSE(t.t.pending);
    ASSERT_EQ(uloop_init(), 0);
    EXPECT_EQ(uloop_run_timeout(40), 0);
    EXPECT_EQ(t.fires, 0);
}

struct Usage {
    int64_t cpu_us;
    long sleeps;
};

Usage usage()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return {ru.ru_utime.tv_sec * 1000000L + ru.ru_utime.tv_usec + ru.ru_stime.tv_sec * 1000000L +
                ru.ru_stime.tv_usec,
            ru.ru_nvcsw};
}

// An idle loop sleeps until its next deadline: ten 100 ms ticks cost a
// handful of wake-ups and almost no processor time.
TEST_F(Timeouts, IdleLoopSleepsBetweenDeadlines)
{
    Rearming tick{};
    tick.t.cb = rearm;
    tick.max = 10;
    tick.ms = 100;
    auto t0 = clk::now();
    uloop_timeout_set(&tick.t, 100);

    Usage before = usage();
    uloop_run();
    int64_t took = ms_since(t0);
    Usage after = usage();

    EXPECT_EQ(tick.fires, 10);
    EXPECT_GE(took, 1000);
    EXPECT_LT(took, 1600);
    EXPECT_LT(after.cpu_us - before.cpu_us, 100000) << "loop spun";
    EXPECT_GE(after.sleeps - before.sleeps, 10);
    EXPECT_LT(after.sleeps - before.sleeps, 40);

    // Without any timeout: one sleep for the whole limit.
    before = usage();
    uloop_run_timeout(500);
    after = usage();
    EXPECT_LT(after.cpu_us - before.cpu_us, 50000);
    EXPECT_LT(after.sleeps - before.sleeps, 5);
}

} // namespace
