// The private router on whichever platform the tests link: the router's
// commands, run by name, find their files and bus in it, and nothing of
// it is left once it goes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

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
    ASSERT_TRUE(testsupport::wait_for(5000, [&] { return exists(p.ubus_socket); }));
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
        ASSERT_TRUE(testsupport::wait_for(5000, [&] { return exists(w.paths().ubus_socket); }));
    }
    EXPECT_FALSE(exists(dir));
    EXPECT_FALSE(exists(conf));
    EXPECT_EQ(exists("/etc/config"), had_config);
    EXPECT_EQ(exists("/tmp/.uci"), had_save);
    EXPECT_EQ(exists("/var/run/ubus"), had_ubus);
    EXPECT_EQ(getenv("HOST_UCI_CONFDIR"), nullptr);
    EXPECT_EQ(getenv("HOST_UBUS_SOCKET"), nullptr);
}
