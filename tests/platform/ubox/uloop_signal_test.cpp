// Signals end the loop as on the router (the run returns the signal number,
// a daemon exits with it); the program's own handlers are left alone; child
// processes are reported.
#include "uloop_test.h"

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "proc.h"

namespace {

using testsupport::Child;
using testsupport::TempDir;
using testsupport::read_file;
using testsupport::wait_for;

using Signals = Loop;

TEST_F(Signals, SigtermFromACallbackEndsTheRun)
{
    uloop_timeout t{};
    t.cb = [](uloop_timeout *) { kill(getpid(), SIGTERM); };
    uloop_timeout_set(&t, 10);
    EXPECT_EQ(uloop_run(), SIGTERM);
    EXPECT_TRUE(uloop_cancelled);
}

TEST_F(Signals, SignalWakesABlockedLoop)
{
    uloop_timeout guard{};  // only so that a lost wake-up fails, not hangs
    guard.cb = [](uloop_timeout *) { uloop_end(); };
    uloop_timeout_set(&guard, 3000);
    auto t0 = std::chrono::steady_clock::now();
    std::thread sender([] {
        usleep(100 * 1000);
        kill(getpid(), SIGINT);
    });
    int ret = uloop_run();
    sender.join();
    uloop_timeout_cancel(&guard);
    EXPECT_EQ(ret, SIGINT);
    EXPECT_LT(ms_since(t0), 1000);
}

// As on the router: the run starts afresh, and only a signal during it
// ends it.
TEST_F(Signals, SignalBeforeTheRunIsForgotten)
{
    uloop_timeout later{};
    later.cb = [](uloop_timeout *) { kill(getpid(), SIGINT); };
    uloop_timeout_set(&later, 50);
    raise(SIGTERM);
    EXPECT_TRUE(uloop_cancelled);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(uloop_run(), SIGINT);
    EXPECT_GE(ms_since(t0), 40);
}

void own_handler(int) {}

TEST(SignalSetup, ProgramHandlersWinAndDefaultsComeBack)
{
    struct sigaction mine {};
    mine.sa_handler = own_handler;
    ASSERT_EQ(sigaction(SIGTERM, &mine, nullptr), 0);

    ASSERT_EQ(uloop_init(), 0);
    struct sigaction cur {};
    sigaction(SIGTERM, nullptr, &cur);
    EXPECT_EQ(cur.sa_handler, own_handler);
    sigaction(SIGINT, nullptr, &cur);
    EXPECT_NE(cur.sa_handler, SIG_DFL);
    sigaction(SIGPIPE, nullptr, &cur);
    EXPECT_EQ(cur.sa_handler, SIG_IGN);

    raise(SIGTERM);  // the program's handler takes it; the loop runs on
    EXPECT_EQ(uloop_run_timeout(30), 0);
    uloop_done();

    sigaction(SIGTERM, nullptr, &cur);
    EXPECT_EQ(cur.sa_handler, own_handler);
    sigaction(SIGINT, nullptr, &cur);
    EXPECT_EQ(cur.sa_handler, SIG_DFL);
    sigaction(SIGPIPE, nullptr, &cur);
    EXPECT_EQ(cur.sa_handler, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

struct Daemon {
    TempDir dir;
    std::string out = dir.file("out");
    Child child;
    explicit Daemon(const char *arg = nullptr)
        : child(arg ? std::vector<std::string>{ULOOP_SIG_PROG, arg}
                    : std::vector<std::string>{ULOOP_SIG_PROG},
                out)
    {
    }
    bool ready()
    {
        return wait_for(5000, [&] { return read_file(out).find("ready") != std::string::npos; });
    }
};

TEST(SignalExit, DaemonExitsWithTheSignalNumber)
{
    for (int sig : {SIGTERM, SIGINT}) {
        Daemon d;
        ASSERT_TRUE(d.ready());
        usleep(80 * 1000);  // a few ticks
        int st = d.child.stop(sig, 5000);
        ASSERT_TRUE(WIFEXITED(st)) << "killed by the signal instead of ending the loop";
        EXPECT_EQ(WEXITSTATUS(st), sig);
        EXPECT_NE(read_file(d.out).find("ret " + std::to_string(sig) + " ticked 1"),
                  std::string::npos)
            << read_file(d.out);
    }
}

// A SIGTERM between uloop_init() and the run is taken by the loop's
// handler and forgotten by the run, as on the router; before uloop_init()
// it ends the program at once.
TEST(SignalExit, SigtermDuringStartUpIsForgottenAsOnTheRouter)
{
    Daemon d("early");
    ASSERT_TRUE(d.ready());
    EXPECT_EQ(d.child.wait(300), -1) << "ended by the SIGTERM from before the run";
    int st = d.child.stop(SIGTERM, 5000);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), SIGTERM);
    EXPECT_NE(read_file(d.out).find("ret 15 ticked 1"), std::string::npos) << read_file(d.out);

    Daemon first("before-init");
    st = first.child.wait(5000);
    ASSERT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(WTERMSIG(st), SIGTERM);
}

struct Reaped {
    uloop_process p{};
    int status = -1;
};

TEST_F(Signals, ChildProcessIsReportedOthersAreLeftAlone)
{
    pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0)
        _exit(7);
    Reaped r{};
    r.p.pid = fork();
    ASSERT_GE(r.p.pid, 0);
    if (r.p.pid == 0) {
        usleep(50 * 1000);
        _exit(3);
    }
    r.p.cb = [](uloop_process *p, int ret) {
        reinterpret_cast<Reaped *>(p)->status = ret;
        uloop_end();
    };
    ASSERT_EQ(uloop_process_add(&r.p), 0);
    EXPECT_EQ(uloop_process_add(&r.p), -1);

    uloop_timeout guard{};
    guard.cb = [](uloop_timeout *) { uloop_end(); };
    uloop_timeout_set(&guard, 5000);
    uloop_run();
    uloop_timeout_cancel(&guard);
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 3);
    EXPECT_FALSE(r.p.pending);

    int st = 0;
    ASSERT_EQ(waitpid(other, &st, 0), other);  // still ours to reap
    EXPECT_EQ(WEXITSTATUS(st), 7);
}

} // namespace
