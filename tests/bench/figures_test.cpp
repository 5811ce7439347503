#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <unistd.h>

#include <ctime>
#include <vector>

#include "procinfo.h"
#include "proc.h"
#include "stats.h"

namespace {

series of(std::vector<double> us, double busy_s)
{
    series s = {"t", std::move(us), busy_s, 0};
    return s;
}

// Burns CPU time of this process until ms of it have passed.
void burn_cpu_ms(long ms)
{
    clock_t end = clock() + ms * CLOCKS_PER_SEC / 1000;
    volatile unsigned long x = 0;
    while (clock() < end)
        x = x + 1;
}

} // namespace

TEST(BenchStats, NearestRankPercentilesAndRate)
{
    std::vector<double> us;
    for (int i = 100; i >= 1; i--) // unsorted on purpose
        us.push_back(i);
    summary m = summarize(of(us, 0.5));
    EXPECT_EQ(m.n, 100u);
    EXPECT_EQ(m.p50_us, 50);
    EXPECT_EQ(m.p99_us, 99);
    EXPECT_EQ(m.max_us, 100);
    EXPECT_DOUBLE_EQ(m.mean_us, 50.5);
    EXPECT_DOUBLE_EQ(m.per_s, 200);
}

TEST(BenchStats, FewSamplesAndNone)
{
    summary one = summarize(of({7}, 1));
    EXPECT_EQ(one.p50_us, 7);
    EXPECT_EQ(one.p99_us, 7);
    summary two = summarize(of({3, 9}, 1));
    EXPECT_EQ(two.p50_us, 3);
    EXPECT_EQ(two.p99_us, 9);
    summary none = summarize(of({}, 0));
    EXPECT_EQ(none.n, 0u);
    EXPECT_EQ(none.p99_us, 0);
}

// The command name in /proc/PID/stat may hold spaces and parentheses; the
// CPU fields come after the last one.
TEST(BenchProc, ReadsCpuAndMemoryWhateverTheCommandName)
{
    char old_name[17] = {};
    prctl(PR_GET_NAME, old_name);
    prctl(PR_SET_NAME, "a) b (c) 1 2");
    proc_sample before = proc_read(getpid());
    burn_cpu_ms(300);
    proc_sample after = proc_read(getpid());
    prctl(PR_SET_NAME, old_name);

    ASSERT_TRUE(before.ok);
    ASSERT_TRUE(after.ok);
    // Clock ticks are 10 ms; schedstat counts nanoseconds.
    EXPECT_GE(after.cpu_ms - before.cpu_ms, 200);
    EXPECT_LT(after.cpu_ms - before.cpu_ms, 5000);
    EXPECT_GE(after.run_ms - before.run_ms, 250);
    EXPECT_GT(after.rss_kb, 0);
    EXPECT_GT(after.anon_kb, 0);
    EXPECT_LE(after.anon_kb, after.rss_kb);
    EXPECT_GT(after.private_kb, 0);
    EXPECT_LE(after.private_kb, after.rss_kb);
}

TEST(BenchProc, CountsWakeUpsOfAnotherProcess)
{
    testsupport::TempDir dir;
    testsupport::Child sleeper({"sh", "-c", "while :; do sleep 0.05; done"}, dir.file("out"));
    proc_sample a = proc_read(sleeper.pid());
    usleep(500 * 1000);
    proc_sample b = proc_read(sleeper.pid());
    ASSERT_TRUE(a.ok);
    ASSERT_TRUE(b.ok);
    EXPECT_GT(b.ctx_switches, a.ctx_switches);
    sleeper.stop(9);
    EXPECT_FALSE(proc_read(sleeper.pid()).ok);
}
