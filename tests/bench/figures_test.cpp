#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
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
// CPU fields come after the last one. Another process is read, as the
// bench does: an emulator may stand in for the reader's own /proc entry.
TEST(BenchProc, ReadsCpuAndMemoryWhateverTheCommandName)
{
    testsupport::TempDir dir;
    std::string odd = dir.file("a) b (c) 1 2");
    ASSERT_EQ(symlink("/bin/sh", odd.c_str()), 0);
    testsupport::Child spinner({odd, "-c", "while :; do :; done"}, dir.file("out"));
    ASSERT_TRUE(testsupport::wait_for(5000, [&] {
        return testsupport::read_file("/proc/" + std::to_string(spinner.pid()) + "/stat")
                   .find("(a) b (c) 1 2)") != std::string::npos;
    }));
    proc_sample before = proc_read(spinner.pid());
    proc_sample after = before;
    // However busy the machine, the spinner's CPU time only grows.
    EXPECT_TRUE(testsupport::wait_for(20000, [&] {
        after = proc_read(spinner.pid());
        return after.run_ms - before.run_ms >= 300;
    }));
    spinner.stop(9);

    ASSERT_TRUE(before.ok);
    ASSERT_TRUE(after.ok);
    // Clock ticks are 10 ms; schedstat counts nanoseconds: the two agree.
    double cpu = after.cpu_ms - before.cpu_ms, run = after.run_ms - before.run_ms;
    EXPECT_GE(cpu, run - 100);
    EXPECT_LE(cpu, run + 100);
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
