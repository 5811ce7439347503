// The loop's signal handling on both builds of libubox: a daemon-shaped
// program (tests/platform/ubox/uloop_sig_prog.c) signalled before
// uloop_init(), between it and the run, and during the run must end the
// same way, at the same point, with the same output.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "proc.h"

namespace {

using testsupport::read_file;

struct Row {
    const char *mode;  // the program's argument
    int sig;           // sent once it is ready
};

constexpr Row ROWS[] = {
    {"run", SIGTERM},
    {"run", SIGINT},
    {"early", SIGTERM},
    {"early", SIGINT},
    {"before-init", SIGTERM},
};

struct Ending {
    bool ready = false;
    bool ran_on = false;  // still running a while after it was ready
    std::string how;      // "exit N" or "signal N"
    std::string out;
    bool operator==(const Ending &o) const
    {
        return ready == o.ready && ran_on == o.ran_on && how == o.how && out == o.out;
    }
};

std::ostream &operator<<(std::ostream &os, const Ending &e)
{
    return os << (e.ready ? "ready, " : "never ready, ") << (e.ran_on ? "ran on, " : "")
              << e.how << ", output:\n" << e.out;
}

std::string how(int st)
{
    if (st < 0)
        return "running";
    if (WIFSIGNALED(st))
        return "signal " + std::to_string(WTERMSIG(st));
    return "exit " + std::to_string(WEXITSTATUS(st));
}

Ending run(const char *prog, const Row &row)
{
    testsupport::TempDir dir;
    std::string out = dir.file("out");
    testsupport::Child child({prog, row.mode}, out);
    Ending e;
    e.ready = testsupport::wait_for(2000, [&] {
        return read_file(out).find("ready") != std::string::npos || !child.running();
    }) && read_file(out).find("ready") != std::string::npos;
    int st = child.wait(300);
    e.ran_on = st < 0;
    if (e.ran_on)
        st = child.stop(row.sig, 5000);
    e.how = how(st);
    e.out = read_file(out);
    return e;
}

class UloopCross : public ::testing::TestWithParam<Row> {};

TEST_P(UloopCross, SignalsEndTheProgramAsOnTheRouter)
{
    const Row &row = GetParam();
    Ending real = run(ULOOP_SIG_REAL, row);
    Ending host = run(ULOOP_SIG_HOST, row);
    EXPECT_NE(real.how, "running");
    EXPECT_EQ(host, real);
}

INSTANTIATE_TEST_SUITE_P(Modes, UloopCross, ::testing::ValuesIn(ROWS));

} // namespace

namespace {

// Timers, a pipe and a child on both builds: the same callbacks in the
// same order with the same results.
TEST(UloopTrace, SameCallbacksInTheSameOrder)
{
    auto real = testsupport::run({LOOP_TRACE_REAL});
    auto host = testsupport::run({LOOP_TRACE_HOST});
    ASSERT_EQ(real.code, 0) << real.out << real.err;
    EXPECT_NE(real.out.find("child exit 7"), std::string::npos) << real.out;
    EXPECT_EQ(host.out, real.out);
    EXPECT_EQ(host.code, real.code);
}

} // namespace
