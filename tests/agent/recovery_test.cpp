// The agent program after outages a fleet meets: credentials rotated, a
// broker moved, a TLS front whose broker is gone, a platform that is down,
// a broker that drops SYNs and a resolver that never answers. It always
// recovers, never claims a session it lacks, and never hammers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"
#include "road.h"

using testsupport::Child;
using testsupport::read_file;
using testsupport::wait_for;

namespace {

// Quick retries, so that each case runs in seconds.
constexpr char FAST_RETRIES[] = "config retry 'retry'\n\toption min_wait '1'\n"
                                "\toption multiplier '2000'\n\toption max_wait '4'\n"
                                "\toption broker_limit '8'\n";
constexpr char BOUND[] = "config status 'status'\n\toption devId 'DEV-9'\n"
                         "\toption secret 'sec-9'\n";

std::vector<int> since(const Road &r, size_t mark)
{
    auto c = r.changes();
    return std::vector<int>(c.begin() + static_cast<long>(std::min(mark, c.size())), c.end());
}

bool contains(const std::vector<int> &v, int x)
{
    return std::find(v.begin(), v.end(), x) != v.end();
}

// A bound agent settled in state 8 on the first broker, retrying fast.
class Settled : public ::testing::Test {
protected:
    void SetUp() override
    {
        s.extra = std::string(FAST_RETRIES) + BOUND;
        REQUIRE_ROUTER(s.r);
        ASSERT_TRUE(s.start());
        agent = s.agent("/bin/busybox");
        ASSERT_TRUE(s.r.reaches(8, 0)) << read_file(s.r.log);
        mark = s.r.changes().size();
    }
    void TearDown() override
    {
        if (agent.pid() > 0) {
            EXPECT_EQ(agent.stop(), 0);
        }
    }

    Rig s;
    Child agent;
    size_t mark = 0;
};

} // namespace

TEST_F(Settled, RotatedCredentialsBringANewLogin)
{
    s.broker.stop();
    s.broker.set_password("pw-rotated");
    ASSERT_TRUE(s.broker.start());
    s.r.platform_command("password pw-rotated");
    ASSERT_TRUE(s.r.reaches(8, mark)) << read_file(s.r.log);
    EXPECT_TRUE(contains(since(s.r, mark), 0)) << read_file(s.r.log);
    EXPECT_EQ(s.r.uci_get("ovimar.mqtt.Password"), "pw-rotated");
}

TEST_F(Settled, MovedBrokerIsFoundThroughANewLogin)
{
    testsupport::Broker second(s.certs);
    ASSERT_TRUE(second.start());
    s.r.platform_command("broker 127.0.0.1:" + std::to_string(second.port()));
    s.broker.stop(); // for good
    ASSERT_TRUE(s.r.reaches(8, mark)) << read_file(s.r.log);
    EXPECT_EQ(s.r.uci_get("ovimar.mqtt.BrokerPort"), std::to_string(second.port()));
    EXPECT_EQ(Rig::clients_of(second).size(), 1u) << second.log();
}

// Before, a reconnect counted once TCP stood: the agent reported a session
// and sent devInfoSync into a connection that was about to be reset.
TEST_F(Settled, ResetHandshakesNeverLookConnected)
{
    std::string zlog = s.r.dir.file("zorvex.log");
    size_t syncs = count(read_file(zlog), "call devInfoSync");
    s.broker.stop();
    std::string flog = s.r.dir.file("front.log");
    Child front({FAKE_BROKER, "-m", "reset", "-p", std::to_string(s.broker.port())}, flog);
    // The loss is seen at the next housekeeping tick, up to 10 s on.
    ASSERT_TRUE(wait_for(2 * WAIT_MS, [&] {
        return read_file(flog).find("reset after") != std::string::npos &&
               contains(since(s.r, mark), 3);
    })) << read_file(s.r.log) << read_file(flog);

    auto after = since(s.r, mark);
    EXPECT_FALSE(contains(after, 5) || contains(after, 8)) << read_file(s.r.log);
    EXPECT_EQ(count(read_file(zlog), "call devInfoSync"), syncs);
    testsupport::RunOptions o;
    o.env = s.r.agent_env();
    auto st = testsupport::run({UBUS_CMD, "-s", s.r.sock, "call", "ovimar", "status"}, o);
    ASSERT_EQ(st.code, 0) << st.err;
    EXPECT_EQ(st.out.find("OVIMAR_FINISHED"), std::string::npos) << st.out;
}

namespace {

// A platform that is down behind a live port: each login is accepted and
// dropped at once; when each came is kept.
struct DownPlatform {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> logins{0};
    std::thread t;

    explicit DownPlatform(int port)
    {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(listen(fd, 16), 0);
        t = std::thread([this] {
            while (!stop) {
                pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 50) == 1) {
                    close(accept(fd, nullptr, nullptr));
                    logins++;
                }
            }
        });
    }
    ~DownPlatform()
    {
        stop = true;
        t.join();
        close(fd);
    }
};

// The waits an agent chose, in order, from its log.
std::vector<long> waits(const std::string &log)
{
    std::vector<long> out;
    std::string text = read_file(log);
    const std::string tag = "times in a row, next in ";
    for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1))
        out.push_back(atol(text.c_str() + at + tag.size()));
    return out;
}

} // namespace

TEST(Recovery, LoginsBackOffAndDevicesDoNotAttemptInStep)
{
    Rig s;
    s.extra = "config retry 'retry'\n\toption min_wait '1'\n\toption multiplier '2000'\n"
              "\toption max_wait '8'\n";
    s.with_platform = false;
    REQUIRE_ROUTER(s.r);
    ASSERT_TRUE(s.start());
    DownPlatform down(s.https_port);
    std::string log_a = s.r.dir.file("a.log"), log_b = s.r.dir.file("b.log");
    std::string nv_a = s.r.dir.file("nv-a"), nv_b = s.r.dir.file("nv-b");
    testsupport::write_file(nv_a, "ZVEI=ZV-A\n");
    testsupport::write_file(nv_b, "ZVEI=ZV-B\n");
    Child a = s.agent_logging_to(log_a, "/bin/busybox", "6", {"HOST_NVTOOL_FILE=" + nv_a});
    Child b = s.agent_logging_to(log_b, "/bin/busybox", "6", {"HOST_NVTOOL_FILE=" + nv_b});

    // Failure n waits 1-8 s (at most max_wait), then [1,2], [2,4], [4,8] s
    // and [4,8] from there.
    ASSERT_TRUE(wait_for(60000, [&] { return waits(log_a).size() >= 6 && waits(log_b).size() >= 6; }))
        << read_file(log_a) << read_file(log_b);
    const long lo[] = {1000, 1000, 2000, 4000, 4000, 4000};
    const long hi[] = {8000, 2000, 4000, 8000, 8000, 8000};
    auto wa = waits(log_a), wb = waits(log_b);
    for (size_t i = 0; i < 6; i++) {
        EXPECT_GE(wa[i], lo[i]) << i;
        EXPECT_LE(wa[i], hi[i]) << i;
        EXPECT_GE(wb[i], lo[i]) << i;
        EXPECT_LE(wb[i], hi[i]) << i;
    }
    // Each device its own sequence: one shared seed gave both the same.
    EXPECT_NE(std::vector<long>(wa.begin(), wa.begin() + 6),
              std::vector<long>(wb.begin(), wb.begin() + 6));
    // About 6 logins each in the time 6 failures take, not one a second.
    EXPECT_LE(down.logins.load(), 2 * 8);
    EXPECT_EQ(count(read_file(log_a), "get ZVEI: ZV-A"), 1u);
    EXPECT_EQ(a.stop(), 0);
    EXPECT_EQ(b.stop(), 0);
}

namespace {

using nft_rules = std::vector<std::vector<std::string>>;

// A network of the test's own, in which 127.0.0.9 drops every packet: a
// broker that never answers a SYN, a resolver that never answers a query.
// More rules may follow, on the same chain.
struct DeadEnd {
    int old = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    std::string why;

    explicit DeadEnd(const nft_rules &more = {})
    {
        if (unshare(CLONE_NEWNET)) {
            why = std::string("unshare CLONE_NEWNET: ") + strerror(errno);
            return;
        }
        for (const std::vector<std::string> &cmd :
             {std::vector<std::string>{"ip", "link", "set", "lo", "up"},
              {"nft", "add", "table", "inet", "dead"},
              {"nft", "add", "chain", "inet", "dead", "out",
               "{ type filter hook output priority 0; }"},
              {"nft", "add", "rule", "inet", "dead", "out", "ip", "daddr", "127.0.0.9", "drop"}}) {
            auto r = testsupport::run(cmd);
            if (r.code != 0) {
                why = cmd[0] + ": " + r.err;
                return;
            }
        }
        for (const auto &rule : more) {
            std::vector<std::string> cmd = {"nft", "add", "rule", "inet", "dead", "out"};
            cmd.insert(cmd.end(), rule.begin(), rule.end());
            auto r = testsupport::run(cmd);
            if (r.code != 0) {
                why = "nft: " + r.err;
                return;
            }
        }
    }
    ~DeadEnd()
    {
        if (setns(old, CLONE_NEWNET))
            perror("setns back");
        close(old);
    }
};

} // namespace

// Before, each connect held the agent's only thread for the kernel's two
// minutes of SYN retries, and a name lookup for the resolver's timeouts.
TEST(Recovery, DroppedSynsAndADeadResolverNeverHoldTheLoop)
{
    Rig s;
    REQUIRE_ROUTER(s.r);
    DeadEnd net;
    ASSERT_EQ(net.why, "");
    s.extra = "config retry 'retry'\n\toption min_wait '1'\n\toption max_wait '2'\n"
              "\toption broker_limit '6'\n" + std::string(BOUND);
    ASSERT_TRUE(s.start());
    s.r.platform_command("broker 127.0.0.9:8883");
    ASSERT_TRUE(s.r.logged(s.r.plog, "broker now"));
    // The agent's own limit, not the library's, ends each attempt.
    s.r.config("ovimar", s.r.config("ovimar") + "config mqtt 'mqtt'\n\toption connect_timeout '2'\n");
    Child agent = s.agent("/bin/busybox");

    testsupport::RunOptions o;
    o.env = s.r.agent_env();
    auto status = [&] {
        return testsupport::run({UBUS_CMD, "-s", s.r.sock, "-t", "4", "call", "ovimar", "status"},
                                o)
                   .code == 0;
    };
    ASSERT_TRUE(wait_for(WAIT_MS, status)); // on the bus
    int calls = 0, unanswered = 0;
    auto answers_while = [&](const std::string &what) {
        return wait_for(90000, [&] {
            calls++;
            unanswered += !status();
            return count(read_file(s.r.log), what) >= 2;
        });
    };
    ASSERT_TRUE(answers_while("failed to mosquitto_connect")) << read_file(s.r.log);
    EXPECT_EQ(unanswered, 0) << calls << " calls";

    // The broker now has a name, which no resolver answers for.
    testsupport::write_file("/etc/resolv.conf", "nameserver 127.0.0.9\n");
    s.r.platform_command("broker mqtt.broker.example:8883");
    ASSERT_TRUE(answers_while("failed to look up broker mqtt.broker.example")) << read_file(s.r.log);
    EXPECT_EQ(unanswered, 0) << calls << " calls";
    EXPECT_EQ(agent.stop(), 0);
}

// Before, once the first address of a name had used the connect limit,
// every later one got 200 ms: a dead first address, then a lost SYN on the
// second, failed every attempt.
TEST(Recovery, EachBrokerAddressGetsItsOwnConnectLimit)
{
    Rig s;
    REQUIRE_ROUTER(s.r);
    // Every other SYN to the broker's second address is lost.
    DeadEnd net({{"ip6", "daddr", "fd00::9", "drop"},
                 {"ip", "daddr", "127.0.0.2", "tcp", "flags", "syn", "numgen", "inc", "mod", "2",
                  "==", "0", "drop"}});
    ASSERT_EQ(net.why, "");
    ASSERT_EQ(testsupport::run({"ip", "-6", "addr", "add", "fd00::1/64", "dev", "lo"}).code, 0);
    testsupport::write_file("/etc/hosts", "fd00::9 two.broker.example\n"
                                          "127.0.0.2 two.broker.example\n");
    s.extra = std::string(BOUND) + "config mqtt 'mqtt'\n\toption connect_timeout '2'\n";
    ASSERT_TRUE(s.start());
    s.r.platform_command("broker two.broker.example:" + std::to_string(s.broker.port()));
    ASSERT_TRUE(s.r.logged(s.r.plog, "broker now"));
    Child agent = s.agent("/bin/busybox");
    ASSERT_TRUE(s.r.reaches(8, 0)) << read_file(s.r.log);
    EXPECT_EQ(count(read_file(s.r.log), "failed to mosquitto_connect"), 0u) << read_file(s.r.log);
    EXPECT_EQ(agent.stop(), 0);
}
