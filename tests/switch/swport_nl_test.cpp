// libswport's messages, byte by byte: the library talks to one end of a
// datagram socket pair and the test plays the kernel on the other.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "nl.h"
#include "proc.h"
#include "swport.h"

namespace {

std::string le16(uint16_t v) { return std::string(reinterpret_cast<const char *>(&v), 2); }
std::string le32(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }

std::string attr(uint16_t type, const std::string &payload)
{
    std::string a = le16(static_cast<uint16_t>(payload.size() + 4)) + le16(type) + payload;
    a.append((4 - a.size() % 4) % 4, '\0');
    return a;
}

// A netlink message; len 0 means the real length.
std::string nlmsg(uint16_t type, const std::string &body, uint32_t len = 0, uint16_t flags = 0)
{
    if (!len)
        len = static_cast<uint32_t>(16 + body.size());
    return le32(len) + le16(type) + le16(flags) + le32(0) + le32(0) + body;
}

// Generic header: command, version, two reserved bytes.
std::string ghdr(uint8_t cmd, uint8_t version = 0)
{
    return std::string{static_cast<char>(cmd), static_cast<char>(version), 0, 0};
}

std::string genl(uint16_t type, uint8_t cmd, const std::string &attrs)
{
    return nlmsg(type, ghdr(cmd, 1) + attrs);
}

std::string nlerr(int32_t err) { return nlmsg(2, le32(static_cast<uint32_t>(err)) + nlmsg(0x1d, "")); }

std::string bytes(size_t n, uint8_t first)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += static_cast<char>(first + i);
    return s;
}

std::string fdb(uint8_t last, int16_t port, uint16_t v = 1)
{
    return std::string{2, 0, 0, 0, 0, static_cast<char>(last)} + le16(v) +
           le16(static_cast<uint16_t>(port));
}

struct Pair {
    int lib = -1, kern = -1;
    Pair()
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
        lib = fds[0];
        kern = fds[1];
        // Nothing queued must fail the receive instead of hanging the test.
        fcntl(lib, F_SETFL, O_NONBLOCK);
        int big = 1 << 16;
        setsockopt(kern, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
        setsockopt(lib, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    }
    ~Pair()
    {
        close(lib);
        close(kern);
    }
    void reply(const std::string &m) { ASSERT_EQ(send(kern, m.data(), m.size(), 0), (ssize_t)m.size()); }
    std::string request()
    {
        char buf[8192];
        ssize_t n = recv(kern, buf, sizeof(buf), MSG_DONTWAIT);
        return n < 0 ? std::string() : std::string(buf, n);
    }
};

constexpr uint16_t kFam = 0x1d;

class Swport : public ::testing::Test {
protected:
    void SetUp() override { swport::g_family = kFam; }
    Pair p;
};

TEST_F(Swport, FamilyResolutionRequestAndIdentifier)
{
    p.reply(genl(kFam, 1, attr(2, std::string("mt753x-wand", 12)) + attr(1, le16(0x2a)) +
                              attr(3, le32(1))));
    EXPECT_EQ(swport::channel_ready(p.lib), 0);
    EXPECT_EQ(swport::g_family, 0x2a);
    std::string want = le32(36) + le16(16) + le16(1) + le32(0) + le32(0) +
                       ghdr(3) + le16(16) + le16(2) + std::string("mt753x-wand", 12);
    EXPECT_EQ(p.request(), want);
}

TEST_F(Swport, FamilyResolutionFailures)
{
    p.reply(genl(kFam, 1, attr(2, std::string("mt753x-wand", 12))));
    EXPECT_EQ(swport::channel_ready(p.lib), -1010);
    EXPECT_EQ(swport::g_family, -10) << "the failed result is what gets stored";

    // A malformed attribute ends the walk before the identifier.
    p.reply(genl(kFam, 1, le16(2) + le16(9) + attr(1, le16(0x2a))));
    EXPECT_EQ(swport::channel_ready(p.lib), -1010);
    p.reply(genl(kFam, 1, le16(40) + le16(9) + attr(1, le16(0x2a))));
    EXPECT_EQ(swport::channel_ready(p.lib), -1010);
    // An identifier too short to hold one: nothing past it may be taken for it.
    p.reply(genl(kFam, 1, attr(1, "")));
    EXPECT_EQ(swport::channel_ready(p.lib), -1010);
    p.reply(genl(kFam, 1, attr(1, "\x2a")));
    EXPECT_EQ(swport::channel_ready(p.lib), -1010);

    errno = 0;
    p.reply(nlerr(-ENOENT));
    EXPECT_EQ(swport::channel_ready(p.lib), -1025);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(swport::g_family, -25);

    p.reply(std::string(12, '\0'));
    EXPECT_EQ(swport::channel_ready(p.lib), -1024);
    EXPECT_EQ(swport::channel_ready(p.lib), -1022) << "nothing queued: the receive fails";
}

TEST_F(Swport, DumpRequestsCarryCommandAndDumpFlags)
{
    uint8_t out[64];
    const uint8_t cmds[] = {0, 1, 2, 4};
    for (uint8_t cmd : cmds) {
        p.reply(genl(kFam, cmd, ""));
        EXPECT_EQ(swport::read_list(p.lib, cmd, 10, 4, out), 0);
        EXPECT_EQ(p.request(), le32(20) + le16(kFam) + le16(0x301) + le32(0) + le32(0) +
                                   ghdr(cmd));
    }
}

TEST_F(Swport, DumpCopiesEntriesUpToTheMaximum)
{
    uint8_t out[128];
    std::string three = attr(1, bytes(10, 0)) + attr(5, bytes(10, 10)) + attr(1, bytes(10, 20));

    memset(out, 0xee, sizeof(out));
    p.reply(genl(kFam, 0, three));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), 3) << "attribute types do not matter";
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 31), bytes(30, 0) + "\xee");

    memset(out, 0xee, sizeof(out));
    p.reply(genl(kFam, 0, three));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 2, out), 2);
    EXPECT_EQ(out[20], 0xee);

    p.reply(genl(kFam, 0, three));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, -3, out), 0) << "a negative maximum copies nothing";

    std::string nine;
    for (int i = 0; i < 9; i++)
        nine += attr(1, bytes(4, static_cast<uint8_t>(4 * i)));
    p.reply(genl(kFam, 2, nine));
    EXPECT_EQ(swport::read_list(p.lib, 2, 4, 7, out), 7);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 28), bytes(28, 0));
}

TEST_F(Swport, DumpEntrySizeAndTruncation)
{
    uint8_t out[128];
    p.reply(genl(kFam, 0, attr(1, bytes(10, 0))));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 0, out), 0);
    p.reply(genl(kFam, 0, attr(1, bytes(9, 0))));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 0, out), -100) << "the size is checked before the maximum";
    p.reply(genl(kFam, 0, attr(1, bytes(10, 0)) + attr(1, bytes(11, 0))));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), -100) << "even after entries were copied";

    // A last attribute whose length runs past the message, or a short tail.
    p.reply(genl(kFam, 0, attr(1, bytes(10, 0)) + attr(1, bytes(10, 0)).substr(0, 10)));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), 1);
    p.reply(genl(kFam, 0, attr(1, bytes(10, 0)) + std::string(3, '\x10')));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), 1);
    p.reply(genl(kFam, 0, attr(1, bytes(10, 0)) + le16(3) + le16(1) + bytes(10, 0)));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), 1);

    // Only the first message of the datagram counts.
    p.reply(genl(kFam, 0, attr(1, bytes(10, 0))) + genl(kFam, 0, attr(1, bytes(10, 0))));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), 1);
}

TEST_F(Swport, ExchangeFailures)
{
    uint8_t out[128];
    std::string four_k = genl(kFam, 0, std::string(4100, '\0'));
    p.reply(four_k);
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), -23) << "dumps receive 4096 bytes";

    p.reply(std::string(15, '\0'));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), -24);
    p.reply(nlmsg(kFam, std::string(8, '\0'), 12));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), -24) << "length field below 16";
    p.reply(nlmsg(kFam, std::string(8, '\0'), 64));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), -24) << "length field beyond the datagram";
    p.reply(nlmsg(2, ""));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), -24) << "an error message without its code";

    errno = 0;
    p.reply(nlerr(-EOPNOTSUPP));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), -25);
    EXPECT_EQ(errno, EOPNOTSUPP);
    // Whatever code an error message carries, taking it is no overflow.
    p.reply(nlerr(INT32_MIN));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), -25);
    EXPECT_EQ(errno, INT32_MIN);
    p.reply(nlerr(INT32_MAX));
    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), -25);
    EXPECT_EQ(errno, -INT32_MAX);

    EXPECT_EQ(swport::read_list(p.lib, 0, 10, 8, out), -22);

    int ro = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(swport::read_list(ro, 0, 10, 8, out), -20);
    close(ro);
}

TEST_F(Swport, FindPort)
{
    const uint8_t mac[6] = {2, 0, 0, 0, 0, 7};
    p.reply(genl(kFam, 0, attr(1, fdb(7, 3))));
    EXPECT_EQ(swport::find_port(p.lib, mac), 3);
    EXPECT_EQ(p.request(), le32(34) + le16(kFam) + le16(1) + le32(0) + le32(0) +
                               ghdr(0) + le16(14) + le16(1) + fdb(7, 0));

    struct {
        std::string attrs;
        int want;
    } cases[] = {
        {attr(1, fdb(7, 4)), 4},
        {attr(1, fdb(7, 5)), -1},
        {attr(1, fdb(7, 6)), -1},
        {attr(1, fdb(7, -1)), -1},
        {attr(9, fdb(7, 2)), 2},              // the first attribute, whatever its type
        {"", -123},
        {le16(14) + le16(1) + "abc", -123},   // longer than what follows
        {le16(3) + le16(1), -123},
        {attr(1, fdb(7, 2).substr(0, 8)), -100},
        {attr(1, fdb(7, 2) + "xx"), -100},
    };
    for (auto &c : cases) {
        p.reply(genl(kFam, 0, c.attrs));
        EXPECT_EQ(swport::find_port(p.lib, mac), c.want) << c.want;
    }
    p.reply(genl(kFam, 0, std::string(1020, '\0')));
    EXPECT_EQ(swport::find_port(p.lib, mac), -23) << "the look-up receives 1024 bytes";
}

TEST_F(Swport, WanLan)
{
    const int32_t vals[5] = {2, -1, 0x01020304, 0, 7};
    errno = 5;
    p.reply(nlerr(0));
    EXPECT_EQ(swport::send_wan_lan(p.lib, vals), 0);
    EXPECT_EQ(p.request(), le32(44) + le16(kFam) + le16(5) + le32(0) + le32(0) +
                               ghdr(3) + le16(24) + le16(2) +
                               std::string(reinterpret_cast<const char *>(vals), 20));

    p.reply(nlerr(-EBUSY));
    EXPECT_EQ(swport::send_wan_lan(p.lib, vals), -25);
    EXPECT_EQ(errno, EBUSY);
    p.reply(genl(kFam, 3, ""));
    EXPECT_EQ(swport::send_wan_lan(p.lib, vals), -124);
    p.reply(std::string(4, '\0'));
    EXPECT_EQ(swport::send_wan_lan(p.lib, vals), -24);
}

TEST(SwportWanFile, ReadAndWrite)
{
    testsupport::TempDir d;
    std::string f = d.file("wand_port");
    testsupport::write_file(f, "2\n");
    EXPECT_EQ(swport::wan_read(f.c_str()), 2);
    testsupport::write_file(f, "-1\n");
    EXPECT_EQ(swport::wan_read(f.c_str()), -1);
    testsupport::write_file(f, "");
    EXPECT_EQ(swport::wan_read(f.c_str()), -2) << "a file that yields nothing";
    EXPECT_EQ(swport::wan_read(d.file("absent").c_str()), -2);

    EXPECT_EQ(swport::wan_write(f.c_str(), 3), 0);
    EXPECT_EQ(testsupport::read_file(f), "3") << "decimal text, no newline";
    EXPECT_EQ(swport::wan_write(f.c_str(), -1), 0);
    EXPECT_EQ(testsupport::read_file(f), "-1");
    EXPECT_EQ(swport::wan_write(d.path().c_str(), 1), -1) << "cannot be opened for writing";
    EXPECT_EQ(swport::wan_write("/dev/full", 1), -1) << "the write is refused";
}

int open_fds()
{
    int n = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (dir && readdir(dir))
        n++;
    if (dir)
        closedir(dir);
    return n;
}

// qemu-user refuses Generic Netlink sockets (EPROTONOSUPPORT): under it
// the library's real channel cannot even start.
bool genl_sockets()
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// The host kernel has no "mt753x-wand": the real channel meets the
// controller's refusal, and no socket stays open.
TEST(SwportHostKernel, MissingFamilyAndNoProcFile)
{
    if (!genl_sockets())
        GTEST_SKIP() << "no Generic Netlink sockets here (qemu-user does not emulate them)";
    uint8_t buf[256];
    const unsigned char mac[6] = {2, 0, 0, 0, 0, 1};
    int fds = open_fds();
    errno = 0;
    EXPECT_EQ(get_fdb(buf, 4), -1025);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(get_vlan(buf, 4), -1025);
    EXPECT_EQ(get_pvid(buf), -1025);
    EXPECT_EQ(get_port(buf), -1025);
    EXPECT_EQ(set_wan_lan(1, 0, 0, 0, 0), -1025);
    EXPECT_EQ(sw_find_port(mac), -1025);
    EXPECT_EQ(open_fds(), fds);
    if (access("/proc/wand_port", F_OK) != 0) {
        EXPECT_EQ(get_wan(), -2);
        EXPECT_EQ(set_wan(1), -1);
    }
}

} // namespace
