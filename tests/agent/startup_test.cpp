// ovimar-agent started for real against the router's bus daemon and a private
// configuration: identity, ticks, logging to standard output or syslog.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "env.h"
#include "proc.h"

using namespace std::chrono;
using testsupport::Child;

namespace {

struct Router : PrivateRouter {
    std::string sock = world.paths().ubus_socket;

    Router()
    {
        auto r = testsupport::run({"nvtool", "set", "ZVEI", "ZV-0042"});
        EXPECT_EQ(r.code, 0) << r.err;
        config("ovimar", "config get_mqtt_server 'get_mqtt_server'\n\toption retries '2'\n");
    }

    std::vector<std::string> agent_env() const { return env(); }

    Child bus() const
    {
        Child c({world.paths().ubusd, "-s", sock}, dir.file("ubusd.log"));
        EXPECT_TRUE(testsupport::wait_for(5000, [&] { return testsupport::unix_accepts(sock); }));
        return c;
    }
};

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        n++;
    return n;
}

} // namespace

TEST(AgentStartup, LogsIdentityTicksAndStopsOnSigterm)
{
    Router r;
    REQUIRE_ROUTER(r);
    Child bus = r.bus();
    std::string log = r.dir.file("agent.log");
    auto start = steady_clock::now();
    Child agent({OVIMAR_AGENT, "-l", "7"}, log, r.agent_env());

    const std::string tick = "-----state machines:0----\n";
    ASSERT_TRUE(testsupport::wait_for(10000, [&] {
        return count(testsupport::read_file(log), tick) >= 1;
    })) << testsupport::read_file(log);
    auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
    EXPECT_GE(took, 900); // the first tick 1 s after start, never early
    ASSERT_TRUE(testsupport::wait_for(10000, [&] {
        return count(testsupport::read_file(log), tick) >= 3;
    })) << testsupport::read_file(log);

    std::string out = testsupport::read_file(log);
    EXPECT_NE(out.find("get ZVEI: ZV-0042\n"), std::string::npos) << out;
    // PATH's timeout is Debian's busybox, which takes "timeout SECS".
    EXPECT_NE(out.find("executing command: timeout 30 nvtool get ZVEI\n"), std::string::npos);
    EXPECT_EQ(out.find("get CSN"), std::string::npos);
    EXPECT_EQ(out.find("failed to UBUS register"), std::string::npos) << out;

    int st = agent.stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

// In a private mount namespace /dev/log is our own socket: what the agent
// sends there is read back as the datagrams syslog(3) writes.
TEST(AgentStartup, SyslogModeUsesDaemonFacilityAndPid)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a mount namespace";
    Router r;
    REQUIRE_ROUTER(r);
    std::string got = r.dir.file("syslog.txt");
    std::string agent_out = r.dir.file("agent.out");

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
            mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755"))
            _exit(10);
        mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3));
        mknod("/dev/urandom", S_IFCHR | 0666, makedev(1, 9));
        int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        strcpy(a.sun_path, "/dev/log");
        if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)))
            _exit(11);

        Child bus = r.bus();
        Child agent({OVIMAR_AGENT, "-m", "0", "-l", "7"}, agent_out, r.agent_env());
        std::string lines;
        auto end = steady_clock::now() + seconds(10);
        while (count(lines, "state machines:0") < 2 && steady_clock::now() < end) {
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0)
                continue;
            char buf[2048];
            ssize_t n = recv(s, buf, sizeof(buf), 0);
            if (n > 0)
                lines.append(buf, static_cast<size_t>(n)).append("\n");
        }
        lines += "pid=" + std::to_string(agent.pid()) + "\n";
        int st = agent.stop(SIGTERM);
        lines += "exit=" + std::to_string(WIFEXITED(st) ? WEXITSTATUS(st) : -1) + "\n";
        bus.stop(SIGTERM); // _exit skips destructors
        testsupport::write_file(got, lines);
        _exit(0);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    ASSERT_EQ(WEXITSTATUS(st), 0);

    std::string lines = testsupport::read_file(got);
    size_t p = lines.find("pid=");
    ASSERT_NE(p, std::string::npos);
    std::string pid_text = lines.substr(p + 4, lines.find('\n', p) - p - 4);
    std::string tag = "ovimar[" + pid_text + "]: ";
    // LOG_DAEMON (3 << 3) plus the message's own level.
    EXPECT_NE(lines.find("<30>"), std::string::npos) << lines;
    EXPECT_NE(lines.find(tag + "get ZVEI: ZV-0042"), std::string::npos) << lines;
    EXPECT_NE(lines.find(tag + "-----state machines:0----"), std::string::npos) << lines;
    EXPECT_NE(lines.find("<31>"), std::string::npos);
    EXPECT_NE(lines.find("exit=0"), std::string::npos) << lines;
    EXPECT_EQ(testsupport::read_file(agent_out), ""); // nothing on standard output
}

// procd stops it while its board tool is slow to answer: it ends then,
// not when procd loses patience.
TEST(AgentStartup, SigtermDuringStartUpEndsIt)
{
    Router r;
    REQUIRE_ROUTER(r);
    Child bus = r.bus();
    std::string slow = r.dir.file("slow");
    mkdir(slow.c_str(), 0755);
    testsupport::write_file(slow + "/nvtool", "#!/bin/sh\nsleep 1\n");
    chmod((slow + "/nvtool").c_str(), 0755);
    auto env = r.agent_env();
    for (auto &e : env)
        if (e.rfind("PATH=", 0) == 0)
            e = "PATH=" + slow + ":" + e.substr(5);
    std::string log = r.dir.file("agent.log");
    Child agent({OVIMAR_AGENT, "-l", "7"}, log, env);
    ASSERT_TRUE(testsupport::wait_for(10000, [&] {
        return testsupport::read_file(log).find("executing command:") != std::string::npos;
    })) << testsupport::read_file(log);
    int st = agent.stop(SIGTERM, 15000);
    ASSERT_NE(st, -1) << "still running 15 s after SIGTERM\n" << testsupport::read_file(log);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}
