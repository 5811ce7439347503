// The private router: the router's commands, run by name, find their files
// and bus in it, nothing of it is left once it goes, and children each get
// one of their own.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "private_router.h"
#include "proc.h"
#include "router.h"

using testsupport::read_file;
using testsupport::run;

namespace {

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

} // namespace

TEST(RouterWorld, UciChangesWaitInTheSaveDirUntilCommitted)
{
    testsupport::RouterWorld w;
    if (!w.ok())
        GTEST_SKIP() << w.why();
    const auto &p = w.paths();
    w.config("pkg", "");
    for (const char *set : {"pkg.sec=type", "pkg.sec.opt=it's"})
        ASSERT_EQ(run({"uci", "set", set}).code, 0) << set;
    EXPECT_TRUE(exists(p.savedir + "/pkg"));
    EXPECT_EQ(w.config("pkg"), "");
    ASSERT_EQ(run({"uci", "commit", "pkg"}).code, 0);
    EXPECT_EQ(w.config("pkg"), "\nconfig type 'sec'\n\toption opt 'it'\\''s'\n\n");
    EXPECT_EQ(run({"uci", "get", "pkg.sec.opt"}).out, "it's\n");
    EXPECT_EQ(read_file(p.savedir + "/pkg"), "");
}

TEST(RouterWorld, CommandsReachTheBusAndBoardDataWithoutBeingTold)
{
    testsupport::RouterWorld w;
    if (!w.ok())
        GTEST_SKIP() << w.why();
    const auto &p = w.paths();
    // Nothing listens yet: a client must not find some other bus.
    EXPECT_NE(run({"ubus", "list"}, {{}, "", 5000}).code, 0);
    testsupport::Child bus({p.ubusd, "-s", p.ubus_socket}, w.dir().file("ubusd.log"));
    ASSERT_TRUE(
        testsupport::wait_for(5000, [&] { return testsupport::unix_accepts(p.ubus_socket); }));
    auto r = run({"ubus", "-t", "2", "call", "no.such.object", "x"});
    EXPECT_EQ(r.code, 4) << r.err; // UBUS_STATUS_NOT_FOUND: the daemon answered
    EXPECT_EQ(run({"ubus", "list"}).code, 0);

    ASSERT_EQ(run({"nvtool", "set", "CSN", "42"}).code, 0);
    EXPECT_NE(read_file(p.nvfile).find("CSN=42"), std::string::npos);
}

TEST(RouterWorld, NothingIsLeftBehind)
{
    const bool had_config = exists("/etc/config"), had_save = exists("/tmp/.uci");
    const bool had_ubus = exists("/var/run/ubus");
    std::string dir, conf;
    {
        testsupport::RouterWorld w;
        if (!w.ok())
            GTEST_SKIP() << w.why();
        dir = w.dir().path();
        conf = w.paths().confdir + "/pkg";
        w.config("pkg", "config t 's'\n");
        testsupport::write_file(w.paths().savedir + "/pkg", "");
        testsupport::Child bus({w.paths().ubusd, "-s", w.paths().ubus_socket},
                               w.dir().file("ubusd.log"));
        ASSERT_TRUE(testsupport::wait_for(
            5000, [&] { return testsupport::unix_accepts(w.paths().ubus_socket); }));
    }
    EXPECT_FALSE(exists(dir));
    EXPECT_FALSE(exists(conf));
    EXPECT_EQ(exists("/etc/config"), had_config);
    EXPECT_EQ(exists("/tmp/.uci"), had_save);
    EXPECT_EQ(exists("/var/run/ubus"), had_ubus);
    EXPECT_EQ(getenv("HOST_NVTOOL_FILE"), nullptr);
}

// A bus daemon per child router, and programs that join one see its files
// and bus only, as each agent of a fleet would.
TEST(RouterWorld, ChildrenGetRoutersOfTheirOwn)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a mount namespace needs root";
    const bool host_had = exists("/etc/config/pkg");
    testsupport::TempDir dir;
    testsupport::Child bus[2];
    char path[128];
    for (int i = 0; i < 2; i++) {
        bus[i] = testsupport::Child({ROUTER_UBUSD}, dir.file("ubusd" + std::to_string(i)), {},
                                    testsupport::FRESH_ROUTER);
        const pid_t pid = bus[i].pid();
        std::string sock = testsupport::private_router_path(
            pid, testsupport::ROUTER_UBUS_SOCKET, path, sizeof(path));
        ASSERT_TRUE(testsupport::wait_for(5000, [&] { return testsupport::unix_accepts(sock); }))
            << read_file(dir.file("ubusd" + std::to_string(i)));
        testsupport::write_file(
            testsupport::private_router_path(pid, "/etc/config/pkg", path, sizeof(path)),
            "config t 'sec'\n\toption who 'router" + std::to_string(i) + "'\n");
    }
    for (int i = 0; i < 2; i++) {
        std::string out = dir.file("uci" + std::to_string(i));
        testsupport::Child uci({ROUTER_UCI, "get", "pkg.sec.who"}, out, {}, bus[i].pid());
        int st = uci.wait(10000);
        ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << read_file(out);
        EXPECT_EQ(read_file(out), "router" + std::to_string(i) + "\n");
        testsupport::Child list({ROUTER_UBUS, "list"}, out, {}, bus[i].pid());
        st = list.wait(10000);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << read_file(out);
    }
    EXPECT_EQ(exists("/etc/config/pkg"), host_had);
}
