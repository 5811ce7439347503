// wsc_profile_tool: echo lines, profile printout, the 390-byte request.
#include <gtest/gtest.h>

#include "driver_log.h"

using wifitest::Bytes;
using wifitest::Driver;
using wifitest::hex;

namespace {

const std::string TOOL = WSC_PROFILE_TOOL;

std::string usage()
{
    return "Usage: " + TOOL +
           " [options]\nOptions:\nwsc_pro:\tset bh wsc profile\n -i:\tifname\n"
           " -s:\tbackhaul Ssid\n"
           " -a:\tbackhaul AuthType (1-open, 2-wpapsk, 4-shared, 8-wpa, 16-wpa2\n"
           "\t\t32-wpa2psk, 64-sae, 128-wpanone, 256-dpp)\n"
           " -e:\tbackhaul EncrType (1-none, 2-wep, 4-tkip, 8-aes)\n"
           " -k:\tbackhaul Key\n -b:\tbackhaul Bssid\n"
           " -r:\tbackhaul role (128-bh_sta, 64-bh_bss, 32-fh_bss, 16-tear_down)\n\n";
}

struct Args {
    std::string i = "wl0", s = "mesh-bh", a = "32", e = "8", k = "secret pass",
                b = "00:11:22:33:44:55", r = "128", o = "wsc_pro";
    std::vector<std::string> argv() const
    {
        return {"-i", i, "-s", s, "-a", a, "-e", e, "-k", k, "-b", b, "-r", r, "-o", o};
    }
};

uint32_t le(const Bytes &b, size_t off, size_t n)
{
    uint32_t v = 0;
    for (size_t i = 0; i < n; i++)
        v |= static_cast<uint32_t>(b[off + i]) << (8 * i);
    return v;
}

std::string text(const Bytes &b, size_t off, size_t n)
{
    return std::string(b.begin() + off, b.begin() + off + n);
}

// Runs a full command line and returns the one request it sent.
Bytes request(const Args &a, std::string *out = nullptr)
{
    Driver d;
    auto r = d.run(TOOL, a.argv());
    EXPECT_EQ(r.code, 0);
    if (out)
        *out = r.out;
    auto log = d.log();
    EXPECT_EQ(log.open_sockets, 0);
    EXPECT_EQ(log.requests.size(), 1u);
    if (log.requests.empty())
        return Bytes(390);
    const auto &q = log.requests[0];
    EXPECT_EQ(q.ifname, a.i.substr(0, 14));
    EXPECT_EQ(q.flags, 0x8647u);
    EXPECT_EQ(q.length, 390u);
    EXPECT_EQ(q.data.size(), 390u);
    return q.data.size() == 390 ? q.data : Bytes(390);
}

void expect_usage(const std::vector<std::string> &args, const std::string &before = "")
{
    Driver d;
    auto r = d.run(TOOL, args);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, before + usage());
    EXPECT_TRUE(d.log().requests.empty());
}

} // namespace

TEST(WscProfile, FullCommandLine)
{
    std::string out;
    Args a;
    a.b = "aa:BB:cc:DD:ee:FF";
    Bytes q = request(a, &out);
    EXPECT_EQ(out, "Ifname: wl0\nBackhaul Ssid: mesh-bh\nBackhaul AuthType: 32\n"
                   "Backhaul EncrType: 8\nBackhaul Key: secret pass\n"
                   "Backhaul Bssid: aa:BB:cc:DD:ee:FF\nBackhaul Role: 128\nOp Action: wsc_pro\n"
                   "Wsc profile info:\n  ifindex: 7\n  Ssid[7]: mesh-bh\n  AuthType: 32\n"
                   "  EncrType: 8\n  Key[1:11]: secret pass\n  Bssid: AA:BB:CC:DD:EE:FF.\n"
                   "  Role: 128\nsend_wapp_req\nwext_set_oid\n");

    Bytes want(390, 0);
    want[0] = 0x1b;
    want[1] = 0x84;
    want[2] = 7;                                              // ifindex
    want[24] = 7;                                             // SSID length
    std::copy_n("mesh-bh", 7, want.begin() + 28);
    want[60] = 32;                                            // auth
    want[62] = 8;                                             // encryption
    std::copy_n("secret pass", 11, want.begin() + 64);
    want[128] = 11;                                           // key length
    Bytes mac = hex("aabbccddeeff");
    std::copy(mac.begin(), mac.end(), want.begin() + 130);
    want[136] = 1;                                            // key index
    want[138] = 128;                                          // role
    EXPECT_EQ(q, want);
}

TEST(WscProfile, EchoFollowsCommandLineOrder)
{
    Driver d;
    auto r = d.run(TOOL, {"-o", "wsc_pro", "-r", "64", "-b", "00:11:22:33:44:55", "-k", "k",
                          "-e", "1", "-a", "1", "-s", "s", "-i", "wl1"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find("Wsc profile info:")),
              "Op Action: wsc_pro\nBackhaul Role: 64\nBackhaul Bssid: 00:11:22:33:44:55\n"
              "Backhaul Key: k\nBackhaul EncrType: 1\nBackhaul AuthType: 1\n"
              "Backhaul Ssid: s\nIfname: wl1\n");
    ASSERT_EQ(d.log().requests.size(), 1u);
    EXPECT_EQ(d.log().requests[0].data[2], 8); // wl1's index
}

TEST(WscProfile, NumbersAreCutToTheirWidth)
{
    Args a;
    a.a = "256";
    a.e = "65544"; // 0x10008
    a.r = "300";
    std::string out;
    Bytes q = request(a, &out);
    EXPECT_EQ(le(q, 60, 2), 0x0100u);
    EXPECT_EQ(le(q, 62, 2), 8u);
    EXPECT_EQ(q[138], 44);
    EXPECT_NE(out.find("  AuthType: 256\n  EncrType: 8\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  Role: 44\n"), std::string::npos) << out;
    // Echo lines show the values as typed.
    EXPECT_NE(out.find("Backhaul Role: 300\n"), std::string::npos);
}

TEST(WscProfile, LongTextsAreCut)
{
    Args a;
    a.s = std::string(40, 's');
    a.k = std::string(70, 'k');
    a.i = "wl0";
    std::string out;
    Bytes q = request(a, &out);
    EXPECT_EQ(le(q, 24, 4), 31u);
    EXPECT_EQ(text(q, 28, 32), std::string(31, 's') + '\0');
    EXPECT_EQ(le(q, 128, 2), 63u);
    EXPECT_EQ(text(q, 64, 64), std::string(63, 'k') + '\0');
    EXPECT_NE(out.find("  Ssid[31]: " + std::string(31, 's') + "\n"), std::string::npos);
    EXPECT_NE(out.find("  Key[1:63]: " + std::string(63, 'k') + "\n"), std::string::npos);
    // The echo shows the whole value.
    EXPECT_NE(out.find("Backhaul Ssid: " + std::string(40, 's') + "\n"), std::string::npos);
}

TEST(WscProfile, HeaderAndGapsAreFixed)
{
    Args a;
    a.i = "wl1";
    Bytes q = request(a);
    EXPECT_EQ(q[0], 0x1b);
    EXPECT_EQ(q[1], 0x84);
    EXPECT_EQ(le(q, 2, 4), 8u);
    EXPECT_EQ(Bytes(q.begin() + 6, q.begin() + 24), Bytes(18, 0));
    EXPECT_EQ(q[137], 0);
    EXPECT_EQ(Bytes(q.begin() + 139, q.end()), Bytes(251, 0));
}

TEST(WscProfile, UsageErrorsExit1AndSendNothing)
{
    expect_usage({});
    expect_usage({"-h"});
    Args a;
    auto full = a.argv();
    const std::string echo = "Ifname: wl0\nBackhaul Ssid: mesh-bh\nBackhaul AuthType: 32\n"
                             "Backhaul EncrType: 8\nBackhaul Key: secret pass\n"
                             "Backhaul Bssid: 00:11:22:33:44:55\nBackhaul Role: 128\n"
                             "Op Action: wsc_pro\n";
    const std::string echo_no_i = echo.substr(echo.find('\n') + 1);
    // Seven options (argc 15), even with the right action.
    expect_usage(std::vector<std::string>(full.begin() + 2, full.end()), echo_no_i);
    // Value attached to its letter: one argument short.
    auto joined = full;
    joined.erase(joined.begin(), joined.begin() + 2);
    joined.insert(joined.begin(), "-iwl0");
    expect_usage(joined, echo);
    // Too many words.
    auto more = full;
    more.push_back("extra");
    expect_usage(more, echo);
    // -h stops at once, wherever it stands.
    auto help = full;
    help.insert(help.begin() + 2, "-h");
    expect_usage(help, "Ifname: wl0\n");
    // Unknown option, missing value (getopt complains on stderr first).
    auto unknown = full;
    unknown.insert(unknown.begin(), "-z");
    expect_usage(unknown);
    auto missing = full;
    missing.push_back("-i");
    expect_usage(missing, echo);
}

TEST(WscProfile, WrongActionIsNamedBeforeTheUsage)
{
    Args a;
    a.o = "wsc_prof";
    std::string echo = "Ifname: wl0\nBackhaul Ssid: mesh-bh\nBackhaul AuthType: 32\n"
                       "Backhaul EncrType: 8\nBackhaul Key: secret pass\n"
                       "Backhaul Bssid: 00:11:22:33:44:55\nBackhaul Role: 128\n";
    expect_usage(a.argv(), echo + "Op Action: wsc_prof\nunknown action: wsc_prof\n");
    // Without -o the action is empty.
    auto no_action = a.argv();
    no_action.resize(14);
    expect_usage(no_action, echo + "unknown action: \n");
}

TEST(WscProfile, RepeatedOptionStandsInForAMissingOne)
{
    Driver d;
    auto r = d.run(TOOL, {"-i", "wl0", "-s", "old", "-s", "new", "-a", "1", "-e", "1", "-k", "k",
                          "-r", "16", "-o", "wsc_pro"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("  Ssid[3]: new\n"), std::string::npos);
    EXPECT_NE(r.out.find("  Bssid: 00:00:00:00:00:00.\n"), std::string::npos);
    auto log = d.log();
    ASSERT_EQ(log.requests.size(), 1u);
    const Bytes &q = log.requests[0].data;
    ASSERT_EQ(q.size(), 390u);
    EXPECT_EQ(Bytes(q.begin() + 130, q.begin() + 136), Bytes(6, 0));
}

TEST(WscProfile, MalformedBssidExits255)
{
    for (const char *mac : {"00:11:22:33:44:5G", "00-11-22-33-44-55", "0:11:22:33:44:55",
                            "00:11:22:33:44", "001122334455", "",
                            // Longer than an address, though it starts with one.
                            "00:11:22:33:44:55:66", "00:11:22:33:44:55x"}) {
        Driver d;
        auto r = d.run(TOOL, {"-i", "wl0", "-b", mac, "-s", "x"});
        EXPECT_EQ(r.code, 255) << mac;
        EXPECT_EQ(r.out, std::string("Ifname: wl0\nBackhaul Bssid: ") + mac +
                             "\ninput macaddr is invalid !!!\n");
        EXPECT_TRUE(d.log().requests.empty());
    }
}

TEST(WscProfile, UnknownInterfaceStillExits0)
{
    Driver d("wl1:8");
    auto r = d.run(TOOL, Args().argv());
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("  ifindex: 0\n"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.find("send_wapp_req")),
              "send_wapp_req\nwext_set_oid\nwext_set_oid: oid=0x647 len (390) failed\n");
    auto log = d.log();
    ASSERT_EQ(log.requests.size(), 1u);
    EXPECT_EQ(log.requests[0].result, "ENODEV");
    EXPECT_EQ(le(log.requests[0].data, 2, 4), 0u);
    EXPECT_EQ(log.open_sockets, 0);
}

TEST(WscProfile, DriverRefusalStillExits0)
{
    Driver d;
    d.fail("0647");
    auto r = d.run(TOOL, Args().argv());
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("wext_set_oid: oid=0x647 len (390) failed\n"), std::string::npos);
    EXPECT_EQ(d.log().open_sockets, 0);
}

TEST(WscProfile, OptionsEndAtTheFirstOtherWord)
{
    // Words after the options count but are not read.
    Driver d;
    auto r = d.run(TOOL, {"-i", "wl0", "-s", "s", "-a", "1", "-e", "1", "-k", "k", "-b",
                          "00:11:22:33:44:55", "-o", "wsc_pro", "-r", "16"});
    EXPECT_EQ(r.code, 0);
    r = d.run(TOOL, {"-i", "wl0", "-s", "s", "-a", "1", "-e", "1", "-k", "k", "-b",
                     "00:11:22:33:44:55", "-o", "wsc_pro", "word", "-r"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.find("Backhaul Role"), std::string::npos);
    EXPECT_NE(r.out.find("  Role: 0\n"), std::string::npos);
    auto log = d.log();
    ASSERT_EQ(log.requests.size(), 2u);
    EXPECT_EQ(log.requests[0].data[138], 16);
    EXPECT_EQ(log.requests[1].data[138], 0);

    // A word before the options ends them at once: nothing is read.
    expect_usage({"word", "-i", "wl0", "-s", "s", "-a", "1", "-e", "1", "-k", "k", "-b",
                  "00:11:22:33:44:55", "-o", "wsc_pro", "-r"},
                 "unknown action: \n");
    // One in the middle leaves the later options unread.
    expect_usage({"-i", "wl0", "-s", "s", "-a", "1", "-e", "1", "-k", "k", "-b",
                  "00:11:22:33:44:55", "word", "-o", "wsc_pro"},
                 "Ifname: wl0\nBackhaul Ssid: s\nBackhaul AuthType: 1\nBackhaul EncrType: 1\n"
                 "Backhaul Key: k\nBackhaul Bssid: 00:11:22:33:44:55\nunknown action: \n");
}
