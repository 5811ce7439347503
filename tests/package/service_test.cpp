// ovimar-agent as a router runs it: installed with its init script, started
// by /etc/init.d/ovimar-agent under the real procd, rc.common, procd.sh,
// uci.sh and busybox sh, reloaded by reload_config, logged through logd.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "boot.h"
#include "proc.h"
#include "router.h"

using namespace std::chrono;
using testsupport::read_file;
using testsupport::Result;
using testsupport::wait_for;

namespace {

// The tree's init script, or the one OVIMAR_INIT names (an older one, to
// see which of these checks it fails).
std::string init_script()
{
    const char *s = getenv("OVIMAR_INIT");
    return s && *s ? s : "";
}

class Service : public testsupport::RouterTest {
protected:
    void SetUp() override
    {
        RouterTest::SetUp();
        if (IsSkipped())
            return;
        boot.emplace(world.dir().path(), testsupport::BootOptions{init_script(), ""});
        ASSERT_TRUE(boot->ok()) << boot->why();
        ASSERT_EQ(sh("nvtool set ZVEI ZV-0042").code, 0);
        // The package's defaults, pointed at a closed port: each login is
        // refused at once and the agent stays in its loop.
        world.config("ovimar", read_file(OVIMAR_SRC "/agent/files/ovimar"));
        world.config("zorvex_group", read_file(OVIMAR_SRC "/agent/files/zorvex_group"));
        ASSERT_EQ(uci("set ovimar.server.domain=127.0.0.1 && uci set ovimar.https.port=1 && "
                      "uci set ovimar.agent=agent && uci set ovimar.agent.log_level=7 && "
                      "uci commit ovimar")
                      .code,
                  0);
    }

    void TearDown() override
    {
        if (boot && boot->ok())
            sh("/etc/init.d/ovimar-agent stop");
    }

    // A command line as an operator types it on the router.
    static Result sh(const std::string &cmd)
    {
        testsupport::RunOptions o;
        o.env = {std::string("PATH=") + testsupport::ROUTER_PATH};
        o.timeout_ms = 60000;
        return testsupport::run({"/bin/sh", "-c", cmd}, o);
    }
    static Result uci(const std::string &args) { return sh("uci " + args); }

    // The instance's PID as procd reports it; 0 while none runs.
    static int pid()
    {
        Result r = sh("ubus call service list '{\"name\":\"ovimar-agent\"}' | "
                      "jsonfilter -e '@[\"ovimar-agent\"].instances.instance1.pid'");
        return atoi(r.out.c_str());
    }

    static int started()
    {
        EXPECT_EQ(sh("/etc/init.d/ovimar-agent start").code, 0);
        int p = 0;
        EXPECT_TRUE(wait_for(10000, [&] { return (p = pid()) > 0; }));
        return p;
    }

    size_t procd_says(const std::string &what) const
    {
        std::string log = read_file(world.dir().file("procd.log"));
        size_t n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
            n++;
        return n;
    }

    // reload_config, then until procd has updated the instance from the
    // init script's reload: the agent's PID after it.
    int reload_then_pid()
    {
        size_t updates = procd_says("Update instance ovimar-agent::instance1");
        EXPECT_EQ(sh("reload_config").code, 0);
        EXPECT_TRUE(wait_for(15000, [&] {
            return procd_says("Update instance ovimar-agent::instance1") > updates;
        })) << read_file(world.dir().file("procd.log"));
        return pid();
    }

    // Waits up to 5 s after reload_config for a new agent; its PID or 0.
    int restarted(int old)
    {
        EXPECT_EQ(sh("reload_config").code, 0);
        int p = 0;
        auto t0 = steady_clock::now();
        bool ok = wait_for(5000, [&] { return (p = pid()) > 0 && p != old; });
        printf("restart took %lld ms\n",
               static_cast<long long>(duration_cast<milliseconds>(steady_clock::now() - t0).count()));
        return ok ? p : 0;
    }

    // The process's command line once it has exec'd the agent: procd
    // publishes the PID at fork, when the child still reads as procd. An
    // arm64 agent's starts with qemu's binfmt interpreter and the
    // program's path, which go.
    static std::string cmdline(int p)
    {
        std::string s;
        size_t at = std::string::npos;
        wait_for(5000, [&] {
            s = read_file("/proc/" + std::to_string(p) + "/cmdline");
            for (char &c : s)
                if (c == '\0')
                    c = ' ';
            return (at = s.rfind("/usr/sbin/ovimar-agent ")) != std::string::npos;
        });
        return at == std::string::npos ? s : s.substr(at);
    }

    std::optional<testsupport::RouterBoot> boot;
};

} // namespace

TEST_F(Service, OperatorCommitOfOvimarThenReloadConfigRestartsWithTheNewSetting)
{
    int old = started();
    ASSERT_GT(old, 0);
    ASSERT_EQ(uci("set ovimar.server.domain=127.0.0.2 && uci commit ovimar").code, 0);
    int now = restarted(old);
    ASSERT_GT(now, 0) << "the agent kept PID " << old << " after the operator's change";
    // The new process reads the new domain.
    std::string line = "ovimar\\[" + std::to_string(now) + "\\]: .*ovimar.server.domain = 127.0.0.2$";
    EXPECT_TRUE(wait_for(10000, [&] { return !sh("logread -e '" + line + "'").out.empty(); }))
        << sh("logread").out;
}

TEST_F(Service, OperatorCommitOfZorvexGroupThenReloadConfigRestarts)
{
    int old = started();
    ASSERT_GT(old, 0);
    ASSERT_EQ(uci("set zorvex_group.shp.code=REG-2 && uci commit zorvex_group").code, 0);
    EXPECT_GT(restarted(old), 0) << "the agent kept PID " << old;
}

TEST_F(Service, TheAgentsOwnWritesThenReloadConfigRestartNothing)
{
    int old = started();
    ASSERT_GT(old, 0);
    // The broker record and the counter, as the agent writes them.
    ASSERT_EQ(uci("set ovimar.mqtt.BrokerAddress=broker2.example.net && "
                  "uci set ovimar.mqtt.BrokerPort=8884 && uci set ovimar.mqtt.KeepAliveTime=30 && "
                  "uci set ovimar.mqtt.Username=u2 && uci set ovimar.mqtt.Password=p2 && "
                  "uci set ovimar.mqtt_connect.connected_times=7 && uci commit ovimar")
                  .code,
              0);
    EXPECT_EQ(reload_then_pid(), old);
    // Credentials at bind, then unBind: status and zorvex_group.shp go.
    ASSERT_EQ(uci("set ovimar.status.devId=D1 && uci set ovimar.status.secret=S1 && "
                  "uci commit ovimar")
                  .code,
              0);
    EXPECT_EQ(reload_then_pid(), old);
    ASSERT_EQ(uci("delete zorvex_group.shp && uci commit zorvex_group && "
                  "uci delete ovimar.status && uci commit ovimar")
                  .code,
              0);
    EXPECT_EQ(reload_then_pid(), old);
    // ... and an operator provisioning shp again restarts it.
    ASSERT_EQ(uci("set zorvex_group.shp=shp && uci set zorvex_group.shp.code=REG-3 && "
                  "uci commit zorvex_group")
                  .code,
              0);
    EXPECT_GT(restarted(old), 0);
}

TEST_F(Service, KilledAgentIsRespawnedAfterTheRespawnTime)
{
    int old = started();
    ASSERT_GT(old, 0);
    auto t0 = steady_clock::now();
    ASSERT_EQ(kill(old, SIGKILL), 0);
    int now = 0;
    ASSERT_TRUE(wait_for(30000, [&] { return (now = pid()) > 0 && now != old; }));
    auto took = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    printf("respawned after %lld ms\n", static_cast<long long>(took));
    // procd waits its respawn timeout (5 s) before a new start.
    EXPECT_GE(took, 4500);
    EXPECT_EQ(cmdline(now), "/usr/sbin/ovimar-agent -m 0 -l 7 ");
}

TEST_F(Service, StopEndsItBySigtermWithExitZero)
{
    int old = started();
    ASSERT_GT(old, 0);
    // Its loop runs once its status call answers: SIGTERM then ends it.
    ASSERT_TRUE(wait_for(10000, [] { return sh("ubus -t 1 call ovimar status").code == 0; }));
    ASSERT_EQ(sh("/etc/init.d/ovimar-agent stop").code, 0);
    // term_timeout is 35 s: gone before it, procd never sent SIGKILL.
    EXPECT_TRUE(wait_for(34000, [&] { return kill(old, 0) != 0; }));
    EXPECT_TRUE(wait_for(5000, [&] {
        return procd_says("Instance ovimar-agent::instance1 exit with error code 0 after") == 1;
    })) << read_file(world.dir().file("procd.log"));
    EXPECT_EQ(pid(), 0);
}

TEST_F(Service, EnableMakesTheBootLinks)
{
    ASSERT_EQ(sh("/etc/init.d/ovimar-agent enable").code, 0);
    EXPECT_EQ(sh("readlink /etc/rc.d/S99ovimar-agent").out, "../init.d/ovimar-agent\n");
    EXPECT_EQ(sh("readlink /etc/rc.d/K10ovimar-agent").out, "../init.d/ovimar-agent\n");
    EXPECT_EQ(sh("/etc/init.d/ovimar-agent enabled").code, 0);
}

TEST_F(Service, LogLevelReachesTheCommandLineThroughConfigLoad)
{
    int p = started();
    ASSERT_GT(p, 0);
    EXPECT_EQ(cmdline(p), "/usr/sbin/ovimar-agent -m 0 -l 7 ");
    // An operator's new level: a new process with it.
    ASSERT_EQ(uci("set ovimar.agent.log_level=6 && uci commit ovimar").code, 0);
    int now = restarted(p);
    ASSERT_GT(now, 0);
    EXPECT_EQ(cmdline(now), "/usr/sbin/ovimar-agent -m 0 -l 6 ");
    // An invalid one falls back to 3 rather than a refused start.
    ASSERT_EQ(uci("set ovimar.agent.log_level=9 && uci commit ovimar").code, 0);
    int last = restarted(now);
    ASSERT_GT(last, 0);
    EXPECT_EQ(cmdline(last), "/usr/sbin/ovimar-agent -m 0 -l 3 ");
}

TEST_F(Service, TheRoutersOwnShellAndLogServeIt)
{
    std::string shell = sh("readlink -f /bin/sh").out;
    EXPECT_NE(shell.find("/busybox\n"), std::string::npos) << shell;
    int p = started();
    ASSERT_GT(p, 0);
    // The agent's syslog lines reach logd under its identity.
    EXPECT_TRUE(wait_for(10000, [&] {
        return sh("logread -e ovimar").out.find("ovimar[" + std::to_string(p) + "]") !=
               std::string::npos;
    })) << sh("logread").out;
}
