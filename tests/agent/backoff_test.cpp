// Failures of every shape back off, against the agent program: sessions
// cut as soon as they stand, twin devices, absurd retry settings, a
// broker given up, an inherited ignored SIGCHLD, an IPv6-literal platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "road.h"

using testsupport::Child;
using testsupport::read_file;
using testsupport::wait_for;

namespace {

constexpr char BOUND[] = "config status 'status'\n\toption devId 'DEV-9'\n"
                         "\toption secret 'sec-9'\n";

// The number after each occurrence of tag in the log, in order.
std::vector<long> numbers(const std::string &log, const std::string &tag)
{
    std::vector<long> out;
    std::string text = read_file(log);
    for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1))
        out.push_back(atol(text.c_str() + at + tag.size()));
    return out;
}

int64_t status_of(const Rig &s, const char *key)
{
    testsupport::RunOptions o;
    o.env = s.r.agent_env();
    auto r = testsupport::run({UBUS_CMD, "-s", s.r.sock, "call", "ovimar", "status"}, o);
    json_obj j(json_tokener_parse(r.out.c_str()));
    json_object *v = nullptr;
    return j && json_object_object_get_ex(j.get(), key, &v) ? json_object_get_int64(v) : -1;
}

// Agent `name` (log name.log) with board identity id.
Child agent_with_id(const Rig &s, const std::string &name, const std::string &id)
{
    std::string nv = s.r.dir.file("nv-" + name);
    testsupport::write_file(nv, "ZVEI=" + id + "\n");
    return s.agent_logging_to(s.r.dir.file(name + ".log"), "/bin/busybox", "6",
                              {"HOST_NVTOOL_FILE=" + nv});
}

} // namespace

// Before, a loss counted only if a tick saw the session: a broker that cut
// each one at once drew a connect a second and no "attempt failed".
TEST(Backoff, SessionsCutAsTheyStandBackOff)
{
    Rig s;
    s.extra = std::string(BOUND) + "config retry 'retry'\n\toption max_wait '4'\n"
                                   "\toption broker_limit '5'\n";
    REQUIRE_ROUTER(s.r);
    ASSERT_TRUE(s.start());
    std::string flog = s.r.dir.file("front.log");
    Child front({FAKE_BROKER, "-m", "cut", "-c", s.certs.cert, "-k", s.certs.key}, flog);
    int port = 0;
    ASSERT_TRUE(wait_for(5000, [&] { return sscanf(read_file(flog).c_str(), "ready %d", &port) == 1; }));
    s.r.platform_command("broker 127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(s.r.logged(s.r.plog, "broker now"));
    Child agent = s.agent("/bin/busybox");
    ASSERT_TRUE(wait_for(60000, [&] { return !numbers(s.r.log, "failed 4 times").empty(); }))
        << read_file(s.r.log);
    EXPECT_LE(count(read_file(flog), "accept\n"), 5u) << read_file(flog);
    EXPECT_GE(status_of(s, "failures"), 4);
    EXPECT_LE(status_of(s, "retry_in"), 4);
    // The cuts end: the broker is given up, a login finds the real one.
    s.r.platform_command("broker 127.0.0.1:" + std::to_string(s.broker.port()));
    front.stop();
    ASSERT_TRUE(s.r.reaches(8, s.r.changes().size())) << read_file(s.r.log);
    EXPECT_EQ(agent.stop(), 0);
}

// Before, each session a twin took over started the count anew: the pair
// took turns every few seconds for good.
TEST(Backoff, TwinsTakingEachOthersSessionBackOff)
{
    Rig s;
    s.extra = std::string(BOUND) + "config retry 'retry'\n\toption max_wait '8'\n";
    REQUIRE_ROUTER(s.r);
    ASSERT_TRUE(s.start());
    Child a = agent_with_id(s, "a", "ZV-TWIN"), b = agent_with_id(s, "b", "ZV-TWIN");
    auto fourth = [&](const char *name) {
        auto w = numbers(s.r.dir.file(name), "failed 4 times in a row, next in ");
        return w.empty() ? 0 : w[0];
    };
    ASSERT_TRUE(wait_for(90000, [&] { return fourth("a.log") && fourth("b.log"); }))
        << read_file(s.r.dir.file("a.log")) << read_file(s.r.dir.file("b.log"));
    EXPECT_GE(fourth("a.log"), 4000); // [4, 8] s
    EXPECT_GE(fourth("b.log"), 4000);
    EXPECT_EQ(a.stop(), 0);
    EXPECT_EQ(b.stop(), 0);
}

// Before, multiplier '2' made every wait exactly min_wait, and values
// past their range overflowed; now each is bounded with a warning.
TEST(Backoff, AbsurdRetrySettingsAreBoundedAndWaitsStaySpread)
{
    Rig s;
    s.with_platform = false; // nothing on its port: every login fails
    s.extra = "config retry 'retry'\n\toption min_wait '2'\n\toption multiplier '2'\n"
              "\toption max_wait '99999999'\n\toption broker_limit 'soon'\n"
              "config mqtt 'mqtt'\n\toption connect_timeout '3000000'\n";
    REQUIRE_ROUTER(s.r);
    ASSERT_TRUE(s.start());
    Child agent = s.agent("/bin/busybox");
    auto waits = [&] { return numbers(s.r.log, "times in a row, next in "); };
    ASSERT_TRUE(wait_for(30000, [&] { return waits().size() >= 6; })) << read_file(s.r.log);
    std::string log = read_file(s.r.log);
    for (const char *w : {"retry.multiplier '2' is not within 1000..10000: using 1000",
                          "retry.max_wait '99999999' is not within 1..30720: using 30720",
                          "retry.broker_limit 'soon' is not within 1..86400: using 120",
                          "mqtt.connect_timeout '3000000' is not within 1..300: using 300",
                          "https request failed: curl error 7: "})
        EXPECT_NE(log.find(w), std::string::npos) << w;
    auto w = waits();
    std::set<long> later(w.begin() + 1, w.end());
    EXPECT_GT(later.size(), 1u); // spread, not min_wait every time
    EXPECT_GE(*later.begin(), 1000);
    EXPECT_LE(*later.rbegin(), 2000);
    EXPECT_GE(status_of(s, "failures"), 6);
    EXPECT_LE(status_of(s, "retry_in"), 2);
    EXPECT_EQ(agent.stop(), 0);
}

// Before, every device gave up on its broker exactly broker_limit after
// losing it: a fleet then logged in within one second.
TEST(Backoff, BrokerGivenUpAtATimeOfItsOwn)
{
    Rig s;
    s.extra = std::string(BOUND) + "config retry 'retry'\n\toption broker_limit '12'\n";
    REQUIRE_ROUTER(s.r);
    ASSERT_TRUE(s.start());
    s.broker.stop(); // named, refusing
    std::vector<Child> agents;
    for (const char *name : {"a", "b", "c"})
        agents.push_back(agent_with_id(s, name, name));
    // From each broker record to its give-up: 1 s to the first try, then
    // 9 to 15 s, where it was always 12 to 13.
    std::vector<double> spans, since(3, -1);
    std::vector<size_t> seen(3);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_for(90000, [&] {
        double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        for (size_t i = 0; i < 3; i++) {
            std::string text = read_file(s.r.dir.file(std::string(1, char('a' + i)) + ".log"));
            std::string fresh = text.substr(std::min(seen[i], text.size()));
            seen[i] = text.size();
            if (since[i] >= 0 && fresh.find("broker out of reach") != std::string::npos)
                spans.push_back(now - since[i]), since[i] = -1;
            if (since[i] < 0 && fresh.find("to:2 from:1") != std::string::npos)
                since[i] = now;
        }
        return spans.size() >= 6;
    }));
    EXPECT_TRUE(std::any_of(spans.begin(), spans.end(), [](double d) { return d < 12.8 || d > 14.5; }));
    EXPECT_GE(*std::min_element(spans.begin(), spans.end()), 9.5);
    EXPECT_LE(*std::max_element(spans.begin(), spans.end()), 17.5);
    for (auto &a : agents)
        EXPECT_EQ(a.stop(), 0);
}

// Before, libubox left an ignored SIGCHLD as it was: the broker's name
// lookup never ended and the agent stayed in state 2 for good. And the
// platform's URL was "::1/api/...", which libcurl refuses as malformed.
TEST(Backoff, Ipv6PlatformAndNamedBrokerUnderAnIgnoredSigchld)
{
    Rig s;
    s.with_platform = false;
    s.extra = std::string(BOUND) + "config server 'server'\n\toption domain '::1'\n";
    REQUIRE_ROUTER(s.r);
    ASSERT_TRUE(s.start());
    Child platform({PLATFORM_SIM, "--cert", test_cert().cert, "--key", test_cert().key, "--host",
                    "::1", "--port", std::to_string(s.https_port), "--broker",
                    "localhost:" + std::to_string(s.broker.port()), "--user",
                    testsupport::Broker::USER, "--password", testsupport::Broker::PASSWORD},
                   s.r.plog);
    ASSERT_TRUE(s.r.logged(s.r.plog, "https ready port"));
    Child agent({"/bin/sh", "-c", "trap '' CHLD; exec \"$0\" -l 6 -m 1", OVIMAR_AGENT}, s.r.log,
                s.r.agent_env());
    ASSERT_TRUE(s.r.reaches(8, 0)) << read_file(s.r.log);
    std::string log = read_file(s.r.log);
    EXPECT_NE(log.find("https_path [::1]/api/v1/devAuth"), std::string::npos);
    // Logged when a connection ends, not during each lookup.
    EXPECT_EQ(log.find("Broker disconnected"), std::string::npos);
    EXPECT_EQ(agent.stop(), 0);
}
