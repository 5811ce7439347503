// No secret reaches the router's own log: the agent as a router runs it
// (its init script under procd, syslog to logd, level 7) walks a session
// with secrets that need masking, and logread shows the walk, masked.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>

#include "boot.h"
#include "leak.h"
#include "road.h"

using testsupport::Child;
using testsupport::read_file;
using testsupport::wait_for;

namespace {

// A command line as an operator types it on the router.
testsupport::Result sh(const std::string &cmd)
{
    testsupport::RunOptions o;
    o.env = {std::string("PATH=") + testsupport::ROUTER_PATH};
    o.timeout_ms = 60000;
    return testsupport::run({"/bin/sh", "-c", cmd}, o);
}

int agent_pid()
{
    return atoi(sh("ubus call service list '{\"name\":\"ovimar-agent\"}' | "
                   "jsonfilter -e '@[\"ovimar-agent\"].instances.instance1.pid'")
                    .out.c_str());
}

} // namespace

TEST(Logread, NoSecretInTheRoutersLogOverASessionAtLevel7)
{
    Road r;
    REQUIRE_ROUTER(r);
    testsupport::RouterBoot boot(r.dir.path());
    ASSERT_TRUE(boot.ok()) << boot.why();
    // The broker answer's client is JSON text inside JSON text, its
    // password holds a quote, a backslash and a slash.
    const std::string password = R"(br0ker"pa\ss/w0rd-tail-99)", secret = "dev-s3cret-77";
    testsupport::TestCerts certs;
    testsupport::Broker broker(certs);
    broker.set_password(password);
    ASSERT_TRUE(broker.start());
    Child zorvex = start_zorvex(r.dir, r.sock, R"({"devAuth": {}, "devGetMqttServer": {}})");
    int https_port = testsupport::free_port();
    r.config("ovimar", ovimar_config(https_port, certs.ca) +
                           "config status 'status'\n\toption devId 'DEV-77'\n\toption secret '" +
                           secret + "'\nconfig agent 'agent'\n\toption log_level '7'\n");
    Child platform({PLATFORM_SIM, "--cert", test_cert().cert, "--key", test_cert().key, "--port",
                    std::to_string(https_port), "--broker",
                    "127.0.0.1:" + std::to_string(broker.port()), "--user",
                    testsupport::Broker::USER, "--password", password, "--mqtt-ca", certs.ca,
                    "--mode", "devGetMqttServer=params_text"},
                   r.plog);
    ASSERT_TRUE(r.logged(r.plog, "https ready port")) << read_file(r.plog);
    // Everything logd is handed from now on, however far its ring wraps.
    std::string followed = r.dir.file("logread-f.log");
    Child follow({"/sbin/logread", "-f"}, followed);

    ASSERT_EQ(sh("/etc/init.d/ovimar-agent start").code, 0);
    int pid = 0;
    ASSERT_TRUE(wait_for(10000, [&] { return (pid = agent_pid()) > 0; }));
    // Connected with the password it was handed, which it stored whole.
    const std::string tag = "ovimar[" + std::to_string(pid) + "]: ";
    EXPECT_TRUE(wait_for(WAIT_MS, [&] {
        return read_file(followed).find(tag + "change state machines to:5") != std::string::npos;
    })) << read_file(followed) << broker.log();
    EXPECT_EQ(r.uci_get("ovimar.mqtt.Password"), password);
    EXPECT_EQ(sh("/etc/init.d/ovimar-agent stop").code, 0);
    EXPECT_TRUE(wait_for(WAIT_MS, [&] { return kill(pid, 0) != 0; }));
    follow.stop();

    std::string all = read_file(followed), ours = sh("logread -e ovimar").out;
    for (const std::string &text : {all, ours}) {
        EXPECT_NE(text.find(tag + "succeed to https get_server"), std::string::npos) << text;
        EXPECT_NE(text.find(tag + "change state machines to:5"), std::string::npos) << text;
        // The devGetMqttServer answer, its client's key masked at the second depth.
        EXPECT_TRUE(masked_after(text, R"(\\\"Password\\\")")) << text;
    }
    std::vector<std::string> secrets = cookies(r.plog);
    EXPECT_FALSE(secrets.empty()) << read_file(r.plog);
    secrets.push_back(password);
    secrets.push_back(secret);
    for (const auto &x : secrets) {
        EXPECT_EQ(leak(all, x), "") << x << " in\n" << all;
        EXPECT_EQ(leak(ours, x), "") << x << " in\n" << ours;
    }
}
