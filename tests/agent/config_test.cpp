// The configuration store against real UCI files in a private conf dir.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "capture.h"
#include "config.h"
#include "env.h"
#include "log.h"

namespace {

class ConfigStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_ROUTER(router);
        g_config_server = {};
        g_config_https = {};
        g_config_auth = {};
        g_config_get_mqtt_server = {};
        g_config_mqtt = {};
        g_dev_status = {};
        g_bind_info = {};
    }
    PrivateRouter router;
};

const char FULL[] = R"(config server 'server'
	option domain 'platform.example.net'

config https 'https'
	option port '8443'
	option connect_timeout '7'

config auth 'auth'
	option path '/auth'
	option cwmp_version '1.1'
	option method 'devAuth'

config get_mqtt_server 'get_mqtt_server'
	option path '/server'
	option cwmp_version '1.2'
	option method 'devGetMqttServer'
	option retries '3'

config mqtt 'mqtt'
	option default_qos '1'
	option default_retain '0'

config status 'status'
	option devId 'dev-1'
	option secret 's3cret'
)";

} // namespace

TEST_F(ConfigStore, LoadsEveryGroup)
{
    router.config("ovimar", FULL);
    config_load();
    EXPECT_STREQ(g_config_server.domain, "platform.example.net");
    EXPECT_EQ(g_config_https.port, 8443);
    EXPECT_EQ(g_config_https.connect_timeout, 7);
    EXPECT_STREQ(g_config_auth.path, "/auth");
    EXPECT_STREQ(g_config_auth.cwmp_version, "1.1");
    EXPECT_STREQ(g_config_auth.method, "devAuth");
    EXPECT_STREQ(g_config_get_mqtt_server.path, "/server");
    EXPECT_STREQ(g_config_get_mqtt_server.cwmp_version, "1.2");
    EXPECT_EQ(g_config_get_mqtt_server.retries, 3);
    EXPECT_EQ(g_config_mqtt.default_qos, 1);
    EXPECT_FALSE(g_config_mqtt.default_retain);
    EXPECT_STREQ(g_dev_status.devId, "dev-1");
    EXPECT_STREQ(g_dev_status.secret, "s3cret");
}

TEST_F(ConfigStore, EmptyOrAbsentPackageLeavesDefaults)
{
    for (bool present : {false, true}) {
        if (present)
            router.config("ovimar", "");
        config_load();
        EXPECT_STREQ(g_config_server.domain, "");
        EXPECT_EQ(g_config_https.port, 0);
        EXPECT_EQ(g_config_https.connect_timeout, 0);
        EXPECT_EQ(g_config_get_mqtt_server.retries, 0);
        EXPECT_EQ(g_config_mqtt.default_qos, 0);
        EXPECT_FALSE(g_config_mqtt.default_retain);
        EXPECT_STREQ(g_dev_status.devId, "");
    }
}

TEST_F(ConfigStore, RetainIsTrueOnlyForOne)
{
    for (auto [text, want] : {std::pair{"1", true}, {"0", false}, {"yes", false}, {"01", true},
                              {"2", false}}) {
        router.config("ovimar", std::string("config mqtt 'mqtt'\n\toption default_retain '") +
                                    text + "'\n");
        config_load();
        EXPECT_EQ(g_config_mqtt.default_retain, want) << text;
    }
}

TEST_F(ConfigStore, CredentialsNeedBothFields)
{
    router.config("ovimar", "config status 'status'\n\toption devId 'dev-1'\n");
    config_load();
    EXPECT_STREQ(g_dev_status.devId, "");
    EXPECT_STREQ(g_dev_status.secret, "");
}

TEST_F(ConfigStore, OverLongValuesAreCut)
{
    std::string domain(200, 'd');
    std::string dev_id(60, 'i');
    router.config("ovimar", "config server 'server'\n\toption domain '" + domain + "'\n");
    router.config("zorvex_group", "config shp 'shp'\n\toption devId '" + dev_id +
                                      "'\n\toption code 'c'\n\toption account '" +
                                      std::string(40, 'a') + "'\n");
    config_load();
    bind_info_load();
    EXPECT_EQ(std::string(g_config_server.domain), domain.substr(0, 127));
    EXPECT_EQ(std::string(g_bind_info.devId), dev_id.substr(0, 39));
    EXPECT_STREQ(g_bind_info.regCode, "c");
    EXPECT_EQ(std::string(g_bind_info.AppId), std::string(31, 'a'));
}

TEST_F(ConfigStore, BindInfoReloadEmptiesMissingFields)
{
    router.config("zorvex_group",
                  "config shp 'shp'\n\toption devId 'd'\n\toption code 'c'\n\toption account 'a'\n");
    bind_info_load();
    EXPECT_STREQ(g_bind_info.AppId, "a");
    router.config("zorvex_group", "config shp 'shp'\n\toption devId 'd2'\n");
    bind_info_load();
    EXPECT_STREQ(g_bind_info.devId, "d2");
    EXPECT_STREQ(g_bind_info.regCode, "");
    EXPECT_STREQ(g_bind_info.AppId, "");
}

TEST_F(ConfigStore, GetValueResults)
{
    router.config("pkg", "config sec 'sec'\n\tlist l 'a'\n\tlist l 'b'\n\toption o 'v'\n");
    char buf[16];

    strcpy(buf, "untouched");
    EXPECT_EQ(uci_get_value("missing", "sec", "o", buf, sizeof(buf)), nullptr);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(uci_get_value("pkg", "nosec", "o", buf, sizeof(buf)), buf);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(uci_get_value("pkg", "sec", "nope", buf, sizeof(buf)), nullptr);
    EXPECT_STREQ(buf, "untouched");

    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(uci_get_value("pkg", "sec", "l", buf, sizeof(buf)), buf);
    EXPECT_STREQ(buf, "a b");

    // Each item after the first is preceded by a space, empty ones too.
    router.config("pkg", "config sec 'sec'\n\tlist l ''\n\tlist l 'b'\n\tlist l ''\n"
                         "\tlist l 'c'\n");
    memset(buf, 0, sizeof(buf));
    uci_get_value("pkg", "sec", "l", buf, sizeof(buf));
    EXPECT_STREQ(buf, " b  c");

    // A list is cut like a single value: terminated, within the buffer.
    router.config("pkg", "config sec 'sec'\n\tlist l 'aaaa'\n\tlist l 'bbbb'\n");
    char small[7];
    memset(small, 'x', sizeof(small));
    uci_get_value("pkg", "sec", "l", small, sizeof(small));
    EXPECT_STREQ(small, "aaaa b");
}

TEST_F(ConfigStore, StoreCreatesStatusSection)
{
    router.config("ovimar", "config mqtt 'mqtt'\n\toption default_qos '1'\n");
    char block[DEV_STATUS_BLOCK_LEN] = {};
    strcpy(block, "dev-9");
    strcpy(block + DEV_ID_LEN, "it's secret");
    EXPECT_EQ(dev_status_store(block), 0);
    EXPECT_EQ(router.config("ovimar"),
              "\nconfig mqtt 'mqtt'\n\toption default_qos '1'\n\n"
              "config status 'status'\n\toption devId 'dev-9'\n"
              "\toption secret 'it'\\''s secret'\n\n");
    config_load();
    EXPECT_STREQ(g_dev_status.secret, "it's secret");
}

TEST_F(ConfigStore, StoreChangesOnlyItsOptions)
{
    router.config("ovimar", "config status 'status'\n\toption devId 'old'\n"
                            "\toption secret 'old'\n\toption keep 'me'\n");
    char block[DEV_STATUS_BLOCK_LEN] = {};
    strcpy(block, "new-id");
    strcpy(block + DEV_ID_LEN, "new-secret");
    EXPECT_EQ(dev_status_store(block), 0);
    char buf[64] = {};
    uci_get_value("ovimar", "status", "devId", buf, sizeof(buf));
    EXPECT_STREQ(buf, "new-id");
    memset(buf, 0, sizeof(buf));
    uci_get_value("ovimar", "status", "keep", buf, sizeof(buf));
    EXPECT_STREQ(buf, "me");
}

TEST_F(ConfigStore, StoreRefusesEmptyAndUnterminatedBlocks)
{
    router.config("ovimar", "");
    EXPECT_EQ(dev_status_store(nullptr), -1);

    char block[DEV_STATUS_BLOCK_LEN] = {};
    strcpy(block, "only-id");
    StdoutCapture out;
    EXPECT_EQ(dev_status_store(block), -1);
    EXPECT_STREQ(g_dev_status.devId, "only-id"); // kept in memory all the same
    EXPECT_NE(out.text().find("devId or secret is empty, fail to uci set.\n"), std::string::npos);
    EXPECT_EQ(router.config("ovimar"), "");

    // No terminator anywhere: the fields are cut, never overrun.
    memset(block, 'z', sizeof(block));
    EXPECT_EQ(dev_status_store(block), 0);
    EXPECT_EQ(strlen(g_dev_status.devId), DEV_ID_LEN - 1);
    EXPECT_EQ(strlen(g_dev_status.secret), SECRET_LEN - 1);
}

TEST_F(ConfigStore, GetAndClearMoveTheBlock)
{
    strcpy(g_dev_status.devId, "id");
    strcpy(g_dev_status.secret, "sec");
    g_dev_status.connected_times = 4;
    char block[DEV_STATUS_BLOCK_LEN + 1];
    memset(block, 0x55, sizeof(block));
    dev_status_get(block);
    EXPECT_STREQ(block, "id");
    EXPECT_STREQ(block + DEV_ID_LEN, "sec");
    EXPECT_EQ(block[DEV_STATUS_BLOCK_LEN], 0x55); // nothing past the block
    dev_status_get(nullptr);

    dev_status_clear();
    EXPECT_STREQ(g_dev_status.devId, "");
    EXPECT_STREQ(g_dev_status.secret, "");
    EXPECT_EQ(g_dev_status.connected_times, 4);
}

TEST_F(ConfigStore, DeleteSection)
{
    const std::string text = "config shp 'shp'\n\toption devId 'd'\n\nconfig other 'other'\n";
    router.config("zorvex_group", text);
    const std::string before = router.config("zorvex_group");
    EXPECT_EQ(uci_delete_section("zorvex_group", "nosuch"), 0);
    EXPECT_EQ(router.config("zorvex_group"), before);
    EXPECT_EQ(uci_delete_section("missingpkg", "shp"), 0);
    EXPECT_EQ(uci_delete_section("zorvex_group", "shp"), 0);
    EXPECT_EQ(router.config("zorvex_group"), "\nconfig other 'other'\n\n");
    // A name that does not fit the lookup is refused, nothing deleted.
    router.config("zorvex_group", text);
    EXPECT_EQ(uci_delete_section("zorvex_group", std::string(60, 's').c_str()), -1);
    EXPECT_EQ(router.config("zorvex_group"), text);
}

// In a private mount namespace the conf dir is read-only: packages still
// load, but no commit can reach the files.
TEST_F(ConfigStore, FailedCommitsAreReported)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a mount namespace";
    const std::string ovimar = "config mqtt 'mqtt'\n\toption default_qos '1'\n";
    const std::string group = "config shp 'shp'\n\toption devId 'd'\n";
    router.config("ovimar", ovimar);
    router.config("zorvex_group", group);

    StdoutCapture out;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const char *dir = router.confdir.c_str();
        if (unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
            mount(dir, dir, nullptr, MS_BIND, nullptr) ||
            mount(nullptr, dir, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr))
            _exit(10);
        char block[DEV_STATUS_BLOCK_LEN] = {};
        strcpy(block, "dev-9");
        strcpy(block + DEV_ID_LEN, "s3cret");
        int wrong = 0;
        if (dev_status_store(block) != -1)
            wrong |= 1;
        if (uci_delete_section("zorvex_group", "shp") != -1)
            wrong |= 2;
        fflush(stdout);
        _exit(wrong);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0) << "1: store, 2: delete reported success";
    EXPECT_NE(out.text().find("uci commit ovimar failed\n"), std::string::npos) << out.text();
    EXPECT_NE(out.text().find("uci commit zorvex_group failed\n"), std::string::npos);
    EXPECT_EQ(router.config("ovimar"), ovimar);
    EXPECT_EQ(router.config("zorvex_group"), group);
}

TEST_F(ConfigStore, ConnectedTimesCountsThisRunOnly)
{
    router.config("ovimar", "config mqtt_connect 'mqtt_connect'\n\toption connected_times '0'\n");
    for (int i = 0; i < 3; i++)
        connected_times_bump();
    char buf[16] = {};
    uci_get_value("ovimar", "mqtt_connect", "connected_times", buf, sizeof(buf));
    EXPECT_STREQ(buf, "3");

    g_dev_status = {}; // a restart
    connected_times_bump();
    memset(buf, 0, sizeof(buf));
    uci_get_value("ovimar", "mqtt_connect", "connected_times", buf, sizeof(buf));
    EXPECT_STREQ(buf, "1");
}
