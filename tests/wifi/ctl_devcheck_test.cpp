// qx_wifi_ctl devcheck on real veth interfaces and bridges, each case in a
// private network namespace. ifconfig and brctl are wrapped to record what
// the tool runs and how many sockets it has open at that moment.
#include <gtest/gtest.h>

#include <linux/if_bridge.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include <sstream>

#include "proc.h"

using testsupport::read_file;
using testsupport::Result;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

struct Link {
    bool exists = false;
    bool up = false;
    std::string master;
};

class Netns {
public:
    Netns()
    {
        mkdir(dir_.file("bin").c_str(), 0755);
        for (const char *tool : {"ifconfig", "brctl"}) {
            std::string path = dir_.file(std::string("bin/") + tool);
            write_file(path, std::string("#!/bin/sh\n"
                                         "n=0\n"
                                         "for f in /proc/$$/fd/*; do\n"
                                         "  case $(readlink $f) in socket:*) n=$((n+1));; esac\n"
                                         "done\n"
                                         "echo \"") + tool + " $* sockets=$n\" >> " +
                                 dir_.file("cmds") + "\nexec /usr/sbin/" + tool + " \"$@\"\n");
            chmod(path.c_str(), 0755);
        }
    }

    static bool available() { return testsupport::run({"unshare", "-n", "true"}).code == 0; }

    // Runs setup (shell, in the namespace), then devcheck with args.
    Result devcheck(const std::string &setup, const std::vector<std::string> &args)
    {
        std::string script = "set -e\n" + setup +
                             "\nset +e\nPATH=" + dir_.file("bin") + ":$PATH \"" QX_WIFI_CTL
                             "\" devcheck \"$@\"\nrc=$?\nip -o link show > " +
                             dir_.file("links") + "\nexit $rc\n";
        std::vector<std::string> argv{"unshare", "-n", "sh", "-c", script, "sh"};
        argv.insert(argv.end(), args.begin(), args.end());
        timespec t0{}, t1{};
        clock_gettime(CLOCK_MONOTONIC, &t0);
        Result r = testsupport::run(argv);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        elapsed_ms = (t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_nsec - t0.tv_nsec) / 1000000;
        return r;
    }

    std::string commands() const { return read_file(dir_.file("cmds")); }

    Link link(const std::string &name) const
    {
        std::istringstream in(read_file(dir_.file("links")));
        std::string line;
        Link l;
        while (std::getline(in, line)) {
            if (line.find(" " + name + ":") == std::string::npos &&
                line.find(" " + name + "@") == std::string::npos)
                continue;
            l.exists = true;
            std::string flags = line.substr(line.find('<'), line.find('>') - line.find('<') + 1);
            l.up = flags.find(",UP") != std::string::npos || flags.find("<UP") != std::string::npos;
            size_t m = line.find(" master ");
            if (m != std::string::npos) {
                m += 8;
                l.master = line.substr(m, line.find(' ', m) - m);
            }
        }
        return l;
    }

    long elapsed_ms = 0;

private:
    TempDir dir_;
};

// Two veth pairs, two bridges, all up except what the case changes.
const std::string TOPOLOGY = "ip link add v0 type veth peer name v1\n"
                             "ip link add v2 type veth peer name v3\n"
                             "ip link add br-lan type bridge\n"
                             "ip link add br-wan type bridge\n"
                             "for d in v0 v1 v2 v3 br-lan br-wan; do ip link set $d up; done\n"
                             "ip link set v2 master br-lan\n";

std::string header(const std::string &ifname, const std::string &br, int count, int check)
{
    return "====ifname(" + ifname + ") brname(" + br + ") count(" + std::to_string(count) +
           ") check_br(" + std::to_string(check) + ")\n";
}

#define REQUIRE_NETNS()                                                     \
    do {                                                                    \
        if (!Netns::available())                                            \
            GTEST_SKIP() << "needs root and unshare -n";                    \
    } while (0)

// devcheck reads bridges through SIOCGIFBR and the bridge's SIOCDEVPRIVATE
// port list, which qemu-user does not pass on (ENOSYS).
bool bridge_ioctls()
{
    unsigned long args[3] = {BRCTL_GET_VERSION, 0, 0};
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0 && (ioctl(fd, SIOCGIFBR, args) >= 0 || errno != ENOSYS);
    if (fd >= 0)
        close(fd);
    return ok;
}

#define REQUIRE_BRIDGE_IOCTLS()                                             \
    do {                                                                    \
        REQUIRE_NETNS();                                                    \
        if (!bridge_ioctls())                                               \
            GTEST_SKIP() << "bridge ioctls unavailable (qemu-user: ENOSYS)"; \
    } while (0)

} // namespace

TEST(CtlDevcheck, DownInterfaceOutsideBridgeIsBroughtUpAndAdded)
{
    REQUIRE_NETNS();
    Netns ns;
    // 257 passes wrap to one.
    auto r = ns.devcheck(TOPOLOGY + "ip link set v0 down", {"v0", "br-lan", "257"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, header("v0", "br-lan", 1, 1));
    EXPECT_EQ(ns.commands(), "ifconfig v0 up sockets=0\nbrctl addif br-lan v0 sockets=0\n");
    EXPECT_TRUE(ns.link("v0").up);
    EXPECT_EQ(ns.link("v0").master, "br-lan");
    EXPECT_GE(ns.elapsed_ms, 1000);
}

TEST(CtlDevcheck, InterfaceInWrongBridgeIsMoved)
{
    REQUIRE_BRIDGE_IOCTLS();
    Netns ns;
    auto r = ns.devcheck(TOPOLOGY + "ip link set v0 master br-wan", {"v0", "br-lan", "1"});
    EXPECT_EQ(r.out, header("v0", "br-lan", 1, 1));
    EXPECT_EQ(ns.commands(),
              "brctl delif br-wan v0 sockets=0\nbrctl addif br-lan v0 sockets=0\n");
    EXPECT_EQ(ns.link("v0").master, "br-lan");
    EXPECT_EQ(ns.link("v2").master, "br-lan"); // the bridge's other port stays
}

TEST(CtlDevcheck, InterfaceAlreadyRightRunsNothing)
{
    REQUIRE_BRIDGE_IOCTLS();
    Netns ns;
    auto r = ns.devcheck(TOPOLOGY, {"v2", "br-lan", "2"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, header("v2", "br-lan", 2, 1));
    EXPECT_EQ(ns.commands(), "");
    EXPECT_TRUE(ns.link("v2").up);
    EXPECT_EQ(ns.link("v2").master, "br-lan");
    EXPECT_GE(ns.elapsed_ms, 2000);
}

TEST(CtlDevcheck, BridgeNameWithoutBrPrefixOnlyChecksUp)
{
    REQUIRE_NETNS();
    Netns ns;
    auto r = ns.devcheck(TOPOLOGY + "ip link set v0 master br-wan\nip link set v0 down",
                         {"v0", "lan", "1"});
    EXPECT_EQ(r.out, header("v0", "lan", 1, 0));
    EXPECT_EQ(ns.commands(), "ifconfig v0 up sockets=0\n");
    EXPECT_TRUE(ns.link("v0").up);
    EXPECT_EQ(ns.link("v0").master, "br-wan");
}

TEST(CtlDevcheck, MissingInterfaceIsAddedEveryPass)
{
    REQUIRE_BRIDGE_IOCTLS();
    Netns ns;
    auto r = ns.devcheck(TOPOLOGY, {"nosuch0", "br-lan", "1"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, header("nosuch0", "br-lan", 1, 1));
    // No ifconfig: the interface's state cannot be read.
    EXPECT_EQ(ns.commands(), "brctl addif br-lan nosuch0 sockets=0\n");
    EXPECT_NE(r.err, ""); // brctl's own complaint
}

TEST(CtlDevcheck, CountsThatWrapToZeroReturnAtOnce)
{
    REQUIRE_NETNS();
    for (const char *count : {"0", "256", "junk"}) {
        Netns ns;
        auto r = ns.devcheck(TOPOLOGY + "ip link set v0 down", {"v0", "br-lan", count});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, header("v0", "br-lan", 0, 1)) << count;
        EXPECT_EQ(ns.commands(), "");
        EXPECT_FALSE(ns.link("v0").up);
    }
}

TEST(CtlDevcheck, NamesThatCouldNotBeInterfacesAreRefused)
{
    REQUIRE_NETNS();
    struct Case {
        std::string ifname, brname, what, name;
    };
    const std::vector<Case> cases = {
        {"", "br-lan", "interface", ""},
        {"abcdefghijklmnop", "br-lan", "interface", "abcdefghijklmnop"},
        {"v0;echo INJECTED", "br-lan", "interface", "v0;echo INJECTED"},
        {"v0 v1", "br-lan", "interface", "v0 v1"},
        {"$(id)", "br-lan", "interface", "$(id)"},
        {"v0", "br-lan;echo INJECTED", "bridge", "br-lan;echo INJECTED"},
        {"v0", "", "bridge", ""},
        {"v0", "br-0123456789abc", "bridge", "br-0123456789abc"},
        {"v0", "br/lan", "bridge", "br/lan"},
    };
    for (const auto &c : cases) {
        Netns ns;
        auto r = ns.devcheck(TOPOLOGY + "ip link set v0 down", {c.ifname, c.brname, "1"});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, "devcheck: invalid " + c.what + " name(" + c.name +
                             "): need 1 to 15 letters, digits, '.', '-' or '_'\n");
        EXPECT_EQ(ns.commands(), "");
        EXPECT_FALSE(ns.link("v0").up);
    }
}

TEST(CtlDevcheck, NamesAtTheLimitsAreAccepted)
{
    REQUIRE_NETNS();
    Netns ns;
    auto r = ns.devcheck(TOPOLOGY, {"abcdefghijklmno", "br-x.1_2-Y", "0"});
    EXPECT_EQ(r.out, header("abcdefghijklmno", "br-x.1_2-Y", 0, 1));
}
