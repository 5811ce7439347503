// qx_wifi_ctl: command table, help, exit statuses and the OID request framing.
#include <gtest/gtest.h>

#include "driver_log.h"

using wifitest::Driver;
using wifitest::ctl_help;

namespace {

testsupport::Result ctl(Driver &d, const std::vector<std::string> &args)
{
    return d.run(QX_WIFI_CTL, args);
}

} // namespace

TEST(CtlDispatch, MissingOrUnknownCommandPrintsHelpAndExits255)
{
    Driver d;
    for (const auto &args : std::vector<std::vector<std::string>>{
             {}, {"nosuch"}, {"VENDORIE", "wl0", "00"}, {"vendoriex", "wl0", "00"},
             {"vendori", "wl0", "00"}, {""}}) {
        auto r = ctl(d, args);
        EXPECT_EQ(r.code, 255) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(r.out, ctl_help());
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(d.log().requests.empty());
}

TEST(CtlDispatch, KnownCommandWithTooFewArgumentsPrintsHelpOnceAndExits0)
{
    Driver d;
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"vendorie"}, {"vendorie", "wl0"}, {"vendorie_clean"}, {"showie"},
             {"vsie_proberesp", "wl0", "001122334455"}, {"vsie_proberx", "wl0"},
             {"busy_time"}, {"devcheck", "wl0", "br-lan"}}) {
        auto r = ctl(d, args);
        EXPECT_EQ(r.code, 0) << args[0];
        EXPECT_EQ(r.out, ctl_help()) << args[0];
    }
    EXPECT_TRUE(d.log().requests.empty());
}

TEST(CtlDispatch, PlaceholdersPrintOnlyTheirNotice)
{
    Driver d;
    auto r = ctl(d, {"showie", "wl0"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "qx_wifi_agrv_showie(651): not support yet!\n");
    r = ctl(d, {"uci_get"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "qx_wifi_agrv_uci_get(746): not support yet!\n");
    r = ctl(d, {"uci_get", "wireless.radio0.band"});
    EXPECT_EQ(r.out, "qx_wifi_agrv_uci_get(746): not support yet!\n");
    EXPECT_TRUE(d.log().requests.empty());
}

TEST(CtlOid, SetWithoutPayloadSendsNullPointer)
{
    Driver d;
    auto r = ctl(d, {"vendorie_clean", "wl0"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    auto log = d.log();
    ASSERT_EQ(log.requests.size(), 1u);
    const auto &q = log.requests[0];
    EXPECT_EQ(q.ifname, "wl0");
    EXPECT_EQ(q.flags, 0x9201u);
    EXPECT_EQ(q.length, 0u);
    EXPECT_TRUE(q.null_data);
    EXPECT_EQ(log.open_sockets, 0);
}

TEST(CtlOid, GetSendsBareOidAndLengthZero)
{
    Driver d;
    d.answer("069d=2a");
    auto r = ctl(d, {"busy_time", "wl1"});
    EXPECT_EQ(r.out, "42\n");
    auto log = d.log();
    ASSERT_EQ(log.requests.size(), 1u);
    EXPECT_EQ(log.requests[0].ifname, "wl1");
    EXPECT_EQ(log.requests[0].flags, 0x069du);
    EXPECT_EQ(log.requests[0].length, 0u);
    EXPECT_FALSE(log.requests[0].null_data); // the receive buffer
    EXPECT_EQ(log.open_sockets, 0);
}

TEST(CtlOid, InterfaceNameCutTo16Bytes)
{
    Driver d("abcdefghijklmnop:9");
    auto r = ctl(d, {"vendorie_clean", "abcdefghijklmnopqrst"});
    EXPECT_EQ(r.out, "");
    auto log = d.log();
    ASSERT_EQ(log.requests.size(), 1u);
    EXPECT_EQ(log.requests[0].ifname, "abcdefghijklmnop");
}

TEST(CtlOid, UnknownInterfaceStopsBeforeTheDriver)
{
    Driver d;
    auto r = ctl(d, {"vendorie", "wl9", "dd00"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "ioctl to get the interface(wl9) index failed! errno=19!\n");
    auto log = d.log();
    EXPECT_TRUE(log.requests.empty());
    EXPECT_EQ(log.open_sockets, 0);
}

TEST(CtlOid, DriverRefusalPrintsUnterminatedMessage)
{
    Driver d;
    d.fail("1200");
    d.fail("069d");
    auto r = ctl(d, {"vendorie", "wl0", "dd00"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "qx_ioctl_set_oid: oid=0x1200 failed");
    // busy_time still prints its number, on the same line.
    r = ctl(d, {"busy_time", "wl0"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "qx_ioctl_get_oid: oid=0x69d failed0\n");
    auto log = d.log();
    ASSERT_EQ(log.requests.size(), 2u);
    EXPECT_EQ(log.requests[0].result, "EIO");
    EXPECT_EQ(log.open_sockets, 0);
}

TEST(CtlOid, GetUnansweredPrintsZero)
{
    Driver d;
    auto r = ctl(d, {"busy_time", "wl0"});
    EXPECT_EQ(r.out, "qx_ioctl_get_oid: oid=0x69d failed0\n");
}
