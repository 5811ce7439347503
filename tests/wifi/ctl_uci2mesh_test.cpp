// qx_wifi_ctl uci2mesh: OpenWrt-style wireless files into the mesh BSS file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "proc.h"
#include "router.h"

using testsupport::read_file;
using testsupport::Result;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

using Options = std::vector<std::pair<std::string, std::string>>;

std::string radio(const std::string &name, const std::string &band)
{
    return "config wifi-device '" + name + "'\n\toption type 'mac80211'\n\toption channel 'auto'\n" +
           (band.empty() ? "" : "\toption band '" + band + "'\n") + "\n";
}

std::string iface(const Options &opts, const std::string &name = "")
{
    std::string s = "config wifi-iface" + (name.empty() ? "" : " '" + name + "'") + "\n";
    for (const auto &[k, v] : opts)
        s += (k == "list" ? "\tlist " + v : "\toption " + k + " '" + v + "'") + "\n";
    return s + "\n";
}

// An enabled interface on radio0 (2G) with what the case adds or changes.
std::string ap(Options extra = {}, const std::string &device = "radio0")
{
    Options o = {{"device", device}, {"network", "lan"}, {"mode", "ap"},
                 {"ssid", "home"}, {"encryption", "psk2"}, {"key", "password1"},
                 {"disabled", "0"}};
    for (const auto &[k, v] : extra) {
        bool replaced = false;
        for (auto &[ok, ov] : o)
            if (ok == k) {
                ov = v;
                replaced = true;
            }
        if (!replaced)
            o.emplace_back(k, v);
    }
    Options kept;
    for (const auto &kv : o)
        if (kv.second != "<none>")
            kept.push_back(kv);
    return iface(kept);
}

const std::string RADIOS = radio("radio0", "2G") + radio("radio1", "5G");

struct Line {
    int n;
    std::string band = "8x", ssid = "home", auth = "0x0020", encr = "0x0008",
                key = "password1", bh = "0", fh = "1", hidden = "hidden-N";
    std::string text() const
    {
        return std::to_string(n) + ",ff:ff:ff:ff:ff:ff " + band + " " + ssid + " " + auth + " " +
               encr + " " + key + " " + bh + " " + fh + " " + hidden + " 4095 pvid 5\n";
    }
};

class Uci2mesh {
public:
    explicit Uci2mesh(const testsupport::RouterWorld &world) : world_(world) {}

    Result run(const std::string &wireless, std::vector<std::string> args = {})
    {
        world_.config("wireless", wireless);
        if (args.empty())
            args = {out()};
        args.insert(args.begin(), {QX_WIFI_CTL, "uci2mesh"});
        return testsupport::run(args);
    }
    // Runs and returns the file written, checking the report line.
    std::string file(const std::string &wireless)
    {
        Result r = run(wireless);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, "save_wts_cfg:wirte " + out() + "\n");
        EXPECT_EQ(r.err, "");
        return read_file(out());
    }
    std::string out() const { return dir().file("bss"); }
    const TempDir &dir() const { return world_.dir(); }

private:
    const testsupport::RouterWorld &world_;
};

class CtlUci2mesh : public testsupport::RouterTest {
protected:
    Uci2mesh u{world};
};

Line L(int n, Options fields = {})
{
    Line l{n};
    for (const auto &[k, v] : fields) {
        std::string *f = k == "band"     ? &l.band
                         : k == "ssid"   ? &l.ssid
                         : k == "auth"   ? &l.auth
                         : k == "encr"   ? &l.encr
                         : k == "key"    ? &l.key
                         : k == "bh"     ? &l.bh
                         : k == "fh"     ? &l.fh
                                         : &l.hidden;
        *f = v;
    }
    return l;
}

} // namespace

TEST_F(CtlUci2mesh, BandOrderAndThe12xBlock)
{
    std::string w = RADIOS + ap({{"ssid", "a"}}) + ap({{"ssid", "b"}}, "radio1") +
                    ap({{"ssid", "c"}}) + ap({{"ssid", "d"}}, "radio1");
    EXPECT_EQ(u.file(w), L(1, {{"ssid", "a"}}).text() +
                             L(2, {{"ssid", "b"}, {"band", "11x"}}).text() +
                             L(3, {{"ssid", "c"}}).text() +
                             L(4, {{"ssid", "d"}, {"band", "11x"}}).text() +
                             L(5, {{"ssid", "b"}, {"band", "12x"}}).text() +
                             L(6, {{"ssid", "d"}, {"band", "12x"}}).text());
}

TEST_F(CtlUci2mesh, OnlyDisabledZeroIsExported)
{
    std::string w = RADIOS + ap({{"ssid", "off"}, {"disabled", "1"}}) +
                    ap({{"ssid", "nodisabled"}, {"disabled", "<none>"}}) +
                    ap({{"ssid", "false"}, {"disabled", "false"}}) +
                    ap({{"ssid", "zerozero"}, {"disabled", "00"}}) + ap({{"ssid", "on"}});
    EXPECT_EQ(u.file(w), L(1, {{"ssid", "on"}}).text());
}

TEST_F(CtlUci2mesh, NothingEnabledTruncatesTheFile)
{
    write_file(u.out(), "1,old line\n");
    EXPECT_EQ(u.file(RADIOS + ap({{"disabled", "1"}})), "");
    EXPECT_EQ(u.file(""), ""); // no wifi-iface at all
}

TEST_F(CtlUci2mesh, BandComesFromTheNamedDevice)
{
    std::string w = RADIOS + radio("radio2", "5g") + radio("radio3", "") + radio("radio4", "6G") +
                    ap({{"ssid", "lower"}}, "radio2") + ap({{"ssid", "noband"}}, "radio3") +
                    ap({{"ssid", "6g"}}, "radio4") + ap({{"ssid", "nodev"}}, "radio9") +
                    ap({{"ssid", "nodevice"}, {"device", "<none>"}}) +
                    ap({{"ssid", "five"}}, "radio1");
    EXPECT_EQ(u.file(w), L(1, {{"ssid", "five"}, {"band", "11x"}}).text() +
                             L(2, {{"ssid", "five"}, {"band", "12x"}}).text());
}

TEST_F(CtlUci2mesh, SixteenthInterfaceAndBeyondAreNeverRead)
{
    std::string w = RADIOS;
    std::string want;
    for (int i = 0; i < 16; i++) {
        w += ap({{"ssid", "s" + std::to_string(i)}});
        want += L(i + 1, {{"ssid", "s" + std::to_string(i)}}).text();
    }
    w += ap({{"ssid", "s16"}}) + ap({{"ssid", "s17"}}, "radio1");
    EXPECT_EQ(u.file(w), want);

    // Numbering counts lines written, not interface positions.
    std::string sparse = RADIOS;
    for (int i = 0; i < 15; i++)
        sparse += ap({{"disabled", "1"}});
    sparse += ap({{"ssid", "last"}}) + ap({{"ssid", "past"}});
    EXPECT_EQ(u.file(sparse), L(1, {{"ssid", "last"}}).text());
}

TEST_F(CtlUci2mesh, NamedAndAnonymousSectionsCountAlike)
{
    std::string w = RADIOS + iface({{"device", "radio0"}, {"ssid", "named"}, {"disabled", "0"}},
                                   "default_radio0") +
                    "config wifi-device 'radio5'\n\toption band '2G'\n\n" +
                    iface({{"device", "radio1"}, {"ssid", "anon"}, {"disabled", "0"}});
    EXPECT_EQ(u.file(w), L(1, {{"ssid", "named"}, {"auth", "0x0001"}, {"encr", "0x0001"},
                               {"key", "73051846"}}).text() +
                             L(2, {{"ssid", "anon"}, {"band", "11x"}, {"auth", "0x0001"},
                                   {"encr", "0x0001"}, {"key", "73051846"}}).text() +
                             L(3, {{"ssid", "anon"}, {"band", "12x"}, {"auth", "0x0001"},
                                   {"encr", "0x0001"}, {"key", "73051846"}}).text());
}

TEST_F(CtlUci2mesh, EncryptionMapping)
{
    const std::vector<std::tuple<std::string, std::string, std::string>> map = {
        {"mixed-psk", "0x0022", "0x000c"}, {"psk2", "0x0020", "0x0008"},
        {"psk2+ccmp", "0x0060", "0x0008"}, {"ccmp", "0x0040", "0x0008"},
        {"wpapsk-mix", "0x0002", "0x000c"}, {"sae", "0x0001", "0x0001"},
        {"none", "0x0001", "0x0001"},      {"psk2+tkip", "0x0001", "0x0001"},
        {"PSK2", "0x0001", "0x0001"},      {"<none>", "0x0001", "0x0001"},
    };
    std::string w = RADIOS, want;
    int n = 0;
    for (const auto &[enc, auth, encr] : map) {
        w += ap({{"encryption", enc}});
        want += L(++n, {{"auth", auth}, {"encr", encr}}).text();
    }
    EXPECT_EQ(u.file(w), want);
}

TEST_F(CtlUci2mesh, KeyChoice)
{
    std::string w = RADIOS + ap({{"sae_password", "saepass"}}) +
                    ap({{"sae_password", ""}}) + ap({{"key", "<none>"}}) +
                    ap({{"key", "<none>"}, {"sae_password", "only-sae"}}) +
                    ap({{"key", "<none>"}, {"list", "key 'listed'"}});
    EXPECT_EQ(u.file(w), L(1, {{"key", "saepass"}}).text() + L(2).text() +
                             L(3, {{"key", "73051846"}}).text() +
                             L(4, {{"key", "only-sae"}}).text() +
                             L(5, {{"key", "73051846"}}).text());
}

TEST_F(CtlUci2mesh, SpacesBecome0x1A)
{
    std::string w = RADIOS + ap({{"ssid", " my home net "}, {"key", "pass phrase  x"}});
    std::string file = u.file(w);
    EXPECT_EQ(file, L(1, {{"ssid", "\x1amy\x1ahome\x1anet\x1a"},
                          {"key", "pass\x1aphrase\x1a\x1ax"}}).text());
}

TEST_F(CtlUci2mesh, BackhaulAndHiddenFlags)
{
    std::string w = RADIOS + ap({{"isbh", "1"}, {"hidden", "1"}}) + ap({{"isbh", "10"}}) +
                    ap({{"isbh", "0"}, {"hidden", "0"}}) + ap({{"isbh", ""}, {"hidden", "true"}}) +
                    ap({{"isbh", " 1"}, {"hidden", "11"}}) + ap();
    EXPECT_EQ(u.file(w), L(1, {{"bh", "1"}, {"fh", "0"}, {"hidden", "hidden-Y"}}).text() +
                             L(2, {{"bh", "1"}, {"fh", "0"}}).text() + L(3).text() +
                             L(4).text() + L(5).text() + L(6).text());
}

TEST_F(CtlUci2mesh, LongValuesStayInsideTheirField)
{
    std::string ssid(70, 's');
    std::string psk(64, 'a');
    std::string w = RADIOS + ap({{"ssid", ssid}, {"key", psk}}) +
                    ap({{"ssid", std::string(63, 't')}, {"sae_password", std::string(300, 'p')}});
    EXPECT_EQ(u.file(w), L(1, {{"ssid", std::string(63, 's')}, {"key", std::string(63, 'a')}}).text() +
                             L(2, {{"ssid", std::string(63, 't')},
                                   {"key", std::string(63, 'p')}}).text());
}

TEST_F(CtlUci2mesh, OutputPath)
{
    std::string w = RADIOS + ap();
    // The first argument is the path; more are ignored.
    std::string other = u.dir().file("other");
    Result r = u.run(w, {other, "ignored"});
    EXPECT_EQ(r.out, "save_wts_cfg:wirte " + other + "\n");
    EXPECT_EQ(read_file(other), L(1).text());

    for (const std::string &bad : {u.dir().file("missing/bss"), u.dir().path()}) {
        r = u.run(w, {bad});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, "save_wts_cfg(440):fopen failed!\n");
    }
    // Opened but not written: not reported as written.
    r = u.run(w, {"/dev/full"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "save_wts_cfg:write /dev/full failed!\n");
}

// The world's /etc is a writable overlay of its own, its /etc/config the
// world's: the default path is written there, never on the host, whatever
// the host's /etc holds (an overlay of /etc made here would show the host's
// /etc/config, where there is one, over the world's).
TEST_F(CtlUci2mesh, DefaultPathInAPrivateMountNamespace)
{
    const std::string host_file = "/proc/1/root/etc/map/wts_bss_info_config";
    bool host_had = access(host_file.c_str(), F_OK) == 0;
    world.config("wireless", RADIOS + ap());
    ASSERT_TRUE(mkdir("/etc/map", 0755) == 0 || errno == EEXIST);
    Result r = testsupport::run({QX_WIFI_CTL, "uci2mesh"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "save_wts_cfg:wirte /etc/map/wts_bss_info_config\n");
    EXPECT_EQ(read_file("/etc/map/wts_bss_info_config"), L(1).text());
    if (!host_had) {
        EXPECT_NE(access(host_file.c_str(), F_OK), 0) << "written on the host";
    }
}
