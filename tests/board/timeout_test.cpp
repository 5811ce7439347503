// timeout, the busybox-style time limit, run as a program and through the
// shell as the agent runs it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "proc.h"

using testsupport::Result;

namespace {

Result timeout(std::vector<std::string> args, testsupport::RunOptions o = {})
{
    args.insert(args.begin(), TIMEOUT_BIN);
    return testsupport::run(args, o);
}

double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace

TEST(Timeout, PassesOutputAndStatusThrough)
{
    Result r = timeout({"-t", "5", "sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");

    testsupport::RunOptions in;
    in.input = "from stdin\n";
    r = timeout({"-t", "5", "cat"}, in);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "from stdin\n");

    r = timeout({"-t", "5", "sh", "-c", "kill -USR1 $$"});
    EXPECT_EQ(r.code, 128 + 10);

    // A caller that ignores SIGCHLD still gets the status.
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGCHLD, SIG_IGN);
        execl(TIMEOUT_BIN, TIMEOUT_BIN, "-t", "5", "sh", "-c", "exit 4", nullptr);
        _exit(99);
    }
    ASSERT_GT(pid, 0);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 4);
}

TEST(Timeout, EndsTheCommandAtTheLimit)
{
    double t0 = now();
    Result r = timeout({"-t", "1", "sh", "-c", "echo started; exec sleep 20"});
    double took = now() - t0;
    EXPECT_EQ(r.code, 128 + 15);  // SIGTERM, as busybox reports it
    EXPECT_EQ(r.out, "started\n");
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 5.0);

    r = timeout({"-s", "KILL", "-t", "0.2", "sleep", "20"});
    EXPECT_EQ(r.code, 128 + 9);
    r = timeout({"-s", "INT", "-t", "0.2", "sleep", "20"});
    EXPECT_EQ(r.code, 128 + 2);
    // The newer busybox form: seconds as the first word.
    r = timeout({"0.2", "sleep", "20"});
    EXPECT_EQ(r.code, 128 + 15);
}

// What the command started ends with it, so the caller's pipe closes.
TEST(Timeout, EndsTheCommandsChildrenToo)
{
    double t0 = now();
    Result r = timeout({"-t", "0.3", "sh", "-c", "sleep 20 & sleep 20; echo never"});
    EXPECT_LT(now() - t0, 5.0);
    EXPECT_EQ(r.code, 128 + 15);
    EXPECT_EQ(r.out, "");
}

TEST(Timeout, CommandsThatHandleTheSignal)
{
    // A command may catch the signal and leave with a status of its own.
    Result r = timeout({"-t", "0.3", "sh", "-c", "trap 'exit 7' TERM; sleep 20 & wait"});
    EXPECT_EQ(r.code, 7);
    // -k sends KILL to one that ignores it.
    double t0 = now();
    r = timeout({"-k", "0.3", "-t", "0.3", "sh", "-c", "trap '' TERM; sleep 20 & wait; sleep 20"});
    EXPECT_EQ(r.code, 128 + 9);
    EXPECT_LT(now() - t0, 5.0);
}

TEST(Timeout, BadUse)
{
    Result r = timeout({"-t", "5", "/nonexistent/prog"});
    EXPECT_EQ(r.code, 127);
    EXPECT_EQ(r.err, "timeout: can't execute '/nonexistent/prog': No such file or directory\n");
    for (const auto &args : std::vector<std::vector<std::string>>{
             {}, {"-t", "5"}, {"-t", "x", "true"}, {"-t", "-1", "true"}, {"sleep"}}) {
        r = timeout(args);
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find("Usage: timeout"), std::string::npos);
    }
    r = timeout({"-s", "BOGUS", "-t", "1", "true"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.substr(0, 33), "timeout: unknown signal 'BOGUS'\nU");
}

// The agent's command runner: popen of "timeout -t 30 <command>" with the
// board's commands first on PATH.
TEST(Timeout, TheAgentsCommandLine)
{
    testsupport::TempDir dir;
    testsupport::RunOptions o;
    o.env = {std::string("PATH=") + BOARD_BIN_DIR + ":/usr/bin:/bin",
             "HOST_NVTOOL_FILE=" + dir.file("board")};
    ASSERT_EQ(testsupport::run({"/bin/sh", "-c", "nvtool set ZVEI 'id with spaces'"}, o).code, 0);
    Result r = testsupport::run({"/bin/sh", "-c", "timeout -t 30 nvtool get ZVEI"}, o);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "id with spaces\n");
    r = testsupport::run({"/bin/sh", "-c", "timeout -t 30 nvtool get CSN"}, o);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    r = testsupport::run({"/bin/sh", "-c", "command -v timeout"}, o);
    EXPECT_EQ(r.out, std::string(BOARD_BIN_DIR) + "/timeout\n");
}
