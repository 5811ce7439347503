// qx_wifi_ctl: the bytes the IE, probe and busy-time commands send.
#include <gtest/gtest.h>

#include "driver_log.h"

using wifitest::Bytes;
using wifitest::Driver;
using wifitest::hex;
using wifitest::OidRequest;

namespace {

// Runs one command that must send exactly one request and returns it.
OidRequest sent(const std::vector<std::string> &args, const std::string &out = "")
{
    Driver d;
    auto r = d.run(QX_WIFI_CTL, args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "");
    auto log = d.log();
    EXPECT_EQ(log.open_sockets, 0);
    EXPECT_EQ(log.requests.size(), 1u) << args[0];
    return log.requests.empty() ? OidRequest{} : log.requests[0];
}

void expect_clear(const OidRequest &q, unsigned flags)
{
    EXPECT_EQ(q.flags, flags);
    EXPECT_EQ(q.length, 0u);
    EXPECT_TRUE(q.null_data);
}

std::string repeat(const std::string &s, size_t n)
{
    std::string r;
    while (n--)
        r += s;
    return r;
}

} // namespace

TEST(CtlVendorIe, SendsTheBytesOrClears)
{
    auto q = sent({"vendorie", "wl0", "dd05aabbcc0102"});
    EXPECT_EQ(q.ifname, "wl0");
    EXPECT_EQ(q.flags, 0x9200u);
    EXPECT_EQ(q.length, 7u);
    EXPECT_EQ(q.data, hex("dd05aabbcc0102"));

    EXPECT_EQ(sent({"vendorie", "wl0", "DD05AABBCC0102"}).data, hex("dd05aabbcc0102"));
    expect_clear(sent({"vendorie", "wl0", "0"}), 0x9200);
}

TEST(CtlVendorIe, HexConversionEdges)
{
    // An odd last digit is dropped.
    EXPECT_EQ(sent({"vendorie", "wl0", "abc"}).data, Bytes{0xab});
    // Any invalid digit voids the text: the clear form.
    expect_clear(sent({"vendorie", "wl0", "0xdd"}), 0x9200);
    expect_clear(sent({"vendorie", "wl0", "dd05aabbcc01g2"}), 0x9200);
    expect_clear(sent({"vendorie", "wl0", "dd 05"}), 0x9200);
    // 1,026 digits: 512 bytes, the rest ignored.
    std::string digits = repeat("0123456789abcdef", 64) + "ee";
    ASSERT_EQ(digits.size(), 1026u);
    auto q = sent({"vendorie", "wl0", digits});
    EXPECT_EQ(q.length, 512u);
    EXPECT_EQ(q.data, hex(digits.substr(0, 1024)));
    // Far past the buffer still stops at 512.
    EXPECT_EQ(sent({"vendorie", "wl0", repeat("ff", 5000)}).length, 512u);
}

TEST(CtlVendorIe, CleanSendsItsOwnOid)
{
    expect_clear(sent({"vendorie_clean", "wl1"}), 0x9201);
}

TEST(CtlProbeResp, AddressBandAndIe)
{
    auto q = sent({"vsie_proberesp", "wl1", "001122334455", "dd03aabbcc"});
    EXPECT_EQ(q.ifname, "wl1");
    EXPECT_EQ(q.flags, 0x9204u);
    EXPECT_EQ(q.length, 12u);
    EXPECT_EQ(q.data, hex("001122334455" "00" "dd03aabbcc"));

    q = sent({"vsie_proberesp", "wl0", "001122334455", "dd03aabbcc"});
    EXPECT_EQ(q.data, hex("001122334455" "01" "dd03aabbcc"));
}

TEST(CtlProbeResp, ClearFormSendsAddressAndBandOnly)
{
    auto q = sent({"vsie_proberesp", "wl0", "001122334455", "0"});
    EXPECT_EQ(q.flags, 0x9205u);
    EXPECT_EQ(q.length, 7u);
    EXPECT_EQ(q.data, hex("001122334455" "01"));
}

TEST(CtlProbeResp, AddressAndIeEdges)
{
    // Colons stop the address after its first byte.
    auto q = sent({"vsie_proberesp", "wl1", "aa:bb:cc:dd:ee:ff", "dd01ee"});
    EXPECT_EQ(q.data, hex("aa0000000000" "00" "dd01ee"));
    // A short address leaves the rest zero; a long one is cut at six bytes.
    EXPECT_EQ(sent({"vsie_proberesp", "wl1", "aabb", "0"}).data, hex("aabb00000000" "00"));
    EXPECT_EQ(sent({"vsie_proberesp", "wl1", "00112233445566778899", "0"}).data,
              hex("001122334455" "00"));
    // An invalid IE is still a set, of the header alone.
    q = sent({"vsie_proberesp", "wl1", "001122334455", "zz"});
    EXPECT_EQ(q.flags, 0x9204u);
    EXPECT_EQ(q.data, hex("001122334455" "00"));
    // At most 256 IE bytes.
    q = sent({"vsie_proberesp", "wl0", "001122334455", repeat("5a", 300)});
    EXPECT_EQ(q.length, 263u);
    EXPECT_EQ(q.data, hex("001122334455" "01" + repeat("5a", 256)));
}

TEST(CtlProbeResp, OnlyWl0AndWl1)
{
    Driver d("wl0:7,wl1:8,wl2:9");
    for (const char *dev : {"wl2", "WL0", "wl0 "}) {
        auto r = d.run(QX_WIFI_CTL, {"vsie_proberesp", dev, "001122334455", "dd00"});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, "Unkown ifname,need wl0 or wl1\n");
    }
    EXPECT_TRUE(d.log().requests.empty());
}

TEST(CtlProbeRx, OuiOrEmptyClear)
{
    auto q = sent({"vsie_proberx", "wl0", "506f9a"});
    EXPECT_EQ(q.flags, 0x9220u);
    EXPECT_EQ(q.length, 3u);
    EXPECT_EQ(q.data, hex("506f9a"));
    expect_clear(sent({"vsie_proberx", "wl0", "0"}), 0x9220);
    expect_clear(sent({"vsie_proberx", "wl0", "5x6f9a"}), 0x9220);
    EXPECT_EQ(sent({"vsie_proberx", "wl0", "50f"}).data, Bytes{0x50});
    EXPECT_EQ(sent({"vsie_proberx", "wl0", repeat("ab", 400)}).length, 256u);
}

TEST(CtlBusyTime, PrintsTheByteUnsigned)
{
    for (auto [answer, out] : std::vector<std::pair<std::string, std::string>>{
             {"069d=00", "0\n"}, {"069d=ff", "255\n"}, {"069d=7f", "127\n"},
             // A driver that answers more than one byte must not overrun.
             {"069d=2a" + repeat("ee", 200), "42\n"}}) {
        Driver d;
        d.answer(answer);
        auto r = d.run(QX_WIFI_CTL, {"busy_time", "wl0"});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, "");
    }
}
