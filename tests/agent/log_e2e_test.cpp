// What the agent program's logs hold and how they travel: syslog
// datagrams that a 1024-byte buffer keeps whole and that carry the tag from
// the first line on; no false errors from a healthy relay; no secret at any
// depth of escaping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devlog.h"
#include "leak.h"
#include "road.h"

using testsupport::Child;
using testsupport::read_file;
using testsupport::wait_for;

namespace {

// The messages of one process's datagrams, tag checked; lines cut in
// pieces (" [k/n]" at their ends) joined back.
struct Syslog {
    std::vector<std::string> raw, lines;
    std::string fault; // the first datagram that breaks a rule

    void read(pid_t pid)
    {
        const std::string tag = "ovimar[" + std::to_string(pid) + "]: ";
        lines.clear();
        std::string part;
        int next = 1;
        for (const auto &d : raw) {
            size_t at = d.find(tag);
            if (d.size() > 1024 || d[0] != '<' || at == std::string::npos) {
                if (fault.empty())
                    fault = d;
                continue;
            }
            std::string msg = d.substr(at + tag.size());
            int k = 0, n = 0;
            size_t mark = msg.rfind(" [");
            if (mark != std::string::npos &&
                sscanf(msg.c_str() + mark, " [%d/%d]", &k, &n) == 2 && msg.back() == ']') {
                if (k != next && fault.empty())
                    fault = "piece " + std::to_string(k) + " where " + std::to_string(next) + ": " + d;
                part += msg.substr(0, mark);
                next = k + 1;
                if (k == n) {
                    lines.push_back(part);
                    part.clear();
                    next = 1;
                }
                continue;
            }
            lines.push_back(msg);
        }
    }

    // Datagrams that carry a piece of a longer line.
    size_t pieces() const
    {
        size_t count = 0;
        for (const auto &d : raw) {
            int k = 0, n = 0;
            size_t mark = d.rfind(" [");
            count += mark != std::string::npos && d.back() == ']' &&
                     sscanf(d.c_str() + mark, " [%d/%d]", &k, &n) == 2 && n >= 2;
        }
        return count;
    }
};

} // namespace

TEST(Logs, SyslogDatagramsFitAreTaggedAndJoinBack)
{
    Rig g;
    REQUIRE_ROUTER(g.r);
    DevLog dev(g.r.dir);
    ASSERT_EQ(dev.why, "");
    Syslog s;

    // No bus yet: the start-up failure is the first line, tagged all the same.
    Child early({OVIMAR_AGENT, "-l", "3", "-m", "0"}, g.r.dir.file("early.log"), g.r.agent_env());
    pid_t early_pid = early.pid();
    early.wait(WAIT_MS);
    dev.drain(s.raw);
    s.read(early_pid);
    EXPECT_EQ(s.fault, "");
    ASSERT_FALSE(s.lines.empty());
    EXPECT_EQ(s.lines[0].substr(0, 19), "ubus connect failed");

    // A broker answer over 1024 bytes, logged at level 7.
    g.platform_args = {"--mode", "devGetMqttServer=long"};
    ASSERT_TRUE(g.start());
    s.raw.clear();
    Child agent({OVIMAR_AGENT, "-l", "7", "-m", "0"}, g.r.log, g.r.agent_env());
    const std::string uuid = "uuid-sim-0001-" + std::string(300, 'L');
    auto whole = [&] {
        for (const auto &l : s.lines) {
            size_t data = l.find("https response: size:");
            if (data == std::string::npos || l.find(uuid) == std::string::npos)
                continue;
            json_obj o(json_tokener_parse(l.c_str() + l.find("data:", data) + 5));
            if (o && json_str(o.get(), "uuid") == uuid)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(wait_for(WAIT_MS, [&] {
        dev.drain(s.raw);
        s.read(agent.pid());
        return whole();
    })) << "no whole devGetMqttServer answer among " << s.lines.size() << " lines";
    EXPECT_EQ(s.fault, "");
    EXPECT_GE(s.pieces(), 2u);
    EXPECT_EQ(agent.stop(), 0);
}

// At the default level a relayed request and its reply log nothing; a
// message that lacks what its kind must carry still does.
TEST(Logs, HealthyRelayLogsNoMissingKey)
{
    Rig g;
    REQUIRE_ROUTER(g.r);
    ASSERT_TRUE(g.start());
    Child agent = g.agent("", "3");
    ASSERT_TRUE(wait_for(WAIT_MS, [&] {
        g.r.platform_send(R"({"method":"getStatus","id":"77","cwmpVersion":"1.0"})");
        return wait_for(2000, [&] {
            return read_file(g.r.plog).find(R"(seen {"id":"77","result":0)") != std::string::npos;
        });
    })) << read_file(g.r.plog) << read_file(g.r.log);
    g.r.emit("Notify", R"({"method":"wifiChanged","ssid":"home"})");
    ASSERT_TRUE(g.r.logged(g.r.plog, R"(seen {"method":"wifiChanged")")) << read_file(g.r.plog);
    std::string healthy = read_file(g.r.log);
    for (const char *line : {"not exist!", "ERROR: key <method>", "key method", "key result"})
        EXPECT_EQ(healthy.find(line), std::string::npos) << line << " in\n" << healthy;

    g.r.platform_send(R"({"cwmpVersion":"1.0","id":"78"})");
    EXPECT_TRUE(g.r.logged(g.r.log, "key method not exist! \n")) << read_file(g.r.log);
    EXPECT_TRUE(g.r.logged(g.r.log, "key result not exist! \n"));
    g.r.emit("Notify", R"({"result":0})");
    EXPECT_TRUE(g.r.logged(g.r.log, "key id not exist! \n")) << read_file(g.r.log);
    EXPECT_EQ(agent.stop(), 0);
}

namespace {

// A bound device meets a platform whose broker answer holds its client as
// JSON text inside JSON text, and a broker password with a quote.
struct SecretRun {
    Road r;
    testsupport::Child bus, zorvex, platform, agent;
    const std::string password = R"(br0ker"pa\ss/w0rd-tail-99)";
    const std::string secret = "dev-s3cret-77";

    bool start(const std::string &mode, const std::string &level)
    {
        if (!r.world.ok())
            return false;
        bus = start_bus(r.dir, r.sock);
        zorvex = start_zorvex(r.dir, r.sock, R"({"devAuth": {}, "devGetMqttServer": {}})");
        int https_port = testsupport::free_port();
        r.config("ovimar", ovimar_config(https_port, test_cert().cert) +
                               "config status 'status'\n\toption devId 'DEV-77'\n"
                               "\toption secret '" + secret + "'\n");
        platform = Child({PLATFORM_SIM, "--cert", test_cert().cert, "--key", test_cert().key,
                          "--port", std::to_string(https_port), "--broker",
                          "127.0.0.1:" + std::to_string(testsupport::free_port()), "--password",
                          password, "--mode", "devGetMqttServer=" + mode},
                         r.plog);
        if (!r.logged(r.plog, "https ready port"))
            return false;
        agent = Child({OVIMAR_AGENT, "-l", level, "-m", "1"}, r.log, r.agent_env());
        return true;
    }

    std::vector<std::string> secrets() const
    {
        std::vector<std::string> all = {password, secret};
        for (const auto &c : cookies(r.plog))
            all.push_back(c);
        return all;
    }
};

} // namespace

TEST(Logs, NoSecretAtAnyDepthOfEscaping)
{
    SecretRun s;
    REQUIRE_ROUTER(s.r);
    ASSERT_TRUE(s.start("params_text", "7")) << read_file(s.r.plog);
    ASSERT_TRUE(s.r.logged(s.r.log, "succeed to https get_server")) << read_file(s.r.log);
    // The password came through whole: the agent stored it.
    ASSERT_TRUE(wait_for(WAIT_MS, [&] { return s.r.uci_get("ovimar.mqtt.Password") == s.password; }));
    EXPECT_EQ(s.agent.stop(), 0);
    std::string text = read_file(s.r.log);
    auto secrets = s.secrets();
    EXPECT_GE(secrets.size(), 3u) << read_file(s.r.plog);
    for (const auto &x : secrets)
        EXPECT_EQ(leak(text, x), "") << x << " in\n" << text;
    // The answer's client at the second depth: the key's mask stands.
    EXPECT_TRUE(masked_after(text, R"(\\\"Password\\\")")) << text;
}

TEST(Logs, NoSecretInAnErrorOverBadJsonText)
{
    SecretRun s;
    REQUIRE_ROUTER(s.r);
    ASSERT_TRUE(s.start("params_bad", "3")) << read_file(s.r.plog);
    ASSERT_TRUE(s.r.logged(s.r.log, "ERROR: json_verify failed <")) << read_file(s.r.log);
    EXPECT_EQ(s.agent.stop(), 0);
    std::string text = read_file(s.r.log);
    for (const auto &x : s.secrets())
        EXPECT_EQ(leak(text, x), "") << x << " in\n" << text;
    EXPECT_TRUE(masked_after(text, R"(\"Password\")")) << text;
}
