// The agent program on what a stock router has: busybox's or coreutils'
// timeout instead of the old "-t" syntax, a board with no identity, and a
// bus daemon that fails its greeting while the broker reconnects.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"
#include "road.h"

using testsupport::Child;
using testsupport::read_file;
using testsupport::wait_for;

namespace {

void nvtool_set(const std::string &key, const std::string &value)
{
    ASSERT_EQ(testsupport::run({"nvtool", "set", key, value}).code, 0);
}

struct Timeout {
    const char *name;
    const char *target;
    const char *prefix; // the runner's choice, as logged
};

void PrintTo(const Timeout &t, std::ostream *os)
{
    *os << t.name;
}

class StockTimeout : public ::testing::TestWithParam<Timeout> {};

} // namespace

TEST_P(StockTimeout, IdentityFromTheBoardReachesTheBroker)
{
    Rig s;
    REQUIRE_ROUTER(s.r);
    ASSERT_TRUE(s.start()) << s.broker.log();
    std::string id = std::string("ZV-") + GetParam().name;
    nvtool_set("ZVEI", id);
    Child agent = s.agent(GetParam().target);
    ASSERT_TRUE(s.r.reaches(6, 0)) << read_file(s.r.log);
    EXPECT_EQ(s.clients(), std::vector<std::string>{id}) << s.broker.log();
    std::string log = read_file(s.r.log);
    EXPECT_EQ(count(log, std::string("commands run as: ") + GetParam().prefix + "<command>"), 1u)
        << log;
    EXPECT_EQ(log.find("invalid option"), std::string::npos) << log;
    EXPECT_EQ(log.find("no usable identity"), std::string::npos);
    EXPECT_EQ(agent.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Timeouts, StockTimeout,
    ::testing::Values(Timeout{"busybox", "/bin/busybox", "timeout 30 "},
                      Timeout{"coreutils", "/usr/bin/timeout", "timeout 30 "},
                      Timeout{"board", ROUTER_BOARD_BIN "/timeout", "timeout -t 30 "}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(StockRouter, NoIdentityTheBrokerAssignsOne)
{
    Rig s;
    REQUIRE_ROUTER(s.r);
    ASSERT_TRUE(s.start()) << s.broker.log();
    Child agent = s.agent("/bin/busybox");
    ASSERT_TRUE(s.r.reaches(6, 0)) << read_file(s.r.log);
    auto ids = s.clients();
    ASSERT_EQ(ids.size(), 1u) << s.broker.log();
    EXPECT_EQ(ids[0].rfind("auto-", 0), 0u) << ids[0];
    EXPECT_EQ(count(read_file(s.r.log), "no usable identity"), 1u);
    EXPECT_EQ(agent.stop(), 0);
}

namespace {

// A bus daemon that accepts and hangs up before its greeting, as one
// starting or stopping does.
struct Mute {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::atomic<bool> stop{false};
    std::thread t;

    explicit Mute(const std::string &path)
    {
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        unlink(path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd, 8), 0);
        t = std::thread([this] {
            while (!stop) {
                pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 50) == 1)
                    close(accept(fd, nullptr, nullptr));
            }
        });
    }
    ~Mute()
    {
        stop = true;
        t.join();
        close(fd);
    }
};

} // namespace

// The failed greeting frees a descriptor number that the broker's new
// socket takes; the bus's next attempt must not close it.
TEST(StockRouter, FailedBusGreetingLeavesTheBrokerSocketAlone)
{
    Rig s;
    REQUIRE_ROUTER(s.r);
    ASSERT_TRUE(s.start()) << s.broker.log();
    nvtool_set("ZVEI", "ZV-BUS");
    Child agent = s.agent("/bin/busybox");
    ASSERT_TRUE(s.r.reaches(6, 0)) << read_file(s.r.log);

    s.broker.stop();
    ASSERT_TRUE(s.r.reaches(4, 0)) << read_file(s.r.log);
    s.bus.stop(SIGKILL);
    size_t failed = count(read_file(s.r.log), "reconnect to ubusd failed");
    {
        Mute mute(s.r.sock);
        ASSERT_TRUE(wait_for(WAIT_MS, [&] {
            return count(read_file(s.r.log), "reconnect to ubusd failed") > failed;
        })) << read_file(s.r.log);
        size_t mark = s.r.changes().size();
        ASSERT_TRUE(s.broker.start());
        ASSERT_TRUE(s.r.reaches(6, mark)) << read_file(s.r.log);
    }
    size_t mark = s.r.changes().size();
    s.bus = start_bus(s.r.dir, s.r.sock);
    ASSERT_TRUE(s.r.logged(s.r.log, "reconnect to ubusd\n")) << read_file(s.r.log);
    ASSERT_TRUE(s.r.logged(s.r.dir.file("zorvex.log"), "reconnected"));

    // Both came back: a platform request crosses the broker and the bus.
    ASSERT_TRUE(wait_for(WAIT_MS, [&] {
        s.r.platform_send(R"({"method":"getStatus","id":"91","cwmpVersion":"1.0"})");
        return wait_for(2000, [&] {
            return read_file(s.r.plog).find(R"(seen {"id":"91","result":0})") !=
                   std::string::npos;
        });
    })) << read_file(s.r.plog) << read_file(s.r.log);
    EXPECT_EQ(s.r.changes().size(), mark) << read_file(s.r.log);
    // The broker's log starts again with it: one session since.
    EXPECT_EQ(s.clients(), std::vector<std::string>{"ZV-BUS"}) << s.broker.log();
    EXPECT_EQ(agent.stop(), 0);
}
