// The dispatcher, the broker record and the JSON helpers on real UCI files;
// the bus text conversion on both shapes the formatters write.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include "config.h"
#include "dispatch.h"
#include "env.h"
#include "json.h"
#include "log.h"
#include "logged.h"
#include "request.h"
#include "state.h"
#include "ubus.h"

namespace {

class Dispatch : public ::testing::Test {
protected:
    PrivateRouter router; // the UCI conf and save dirs of this file
    void SetUp() override
    {
        router.config("ovimar", "config mqtt 'mqtt'\n\toption default_qos '1'\n");
        g_mqtt_server = {};
        set_last_request(0, nullptr);
        agent_state_set(OVIMAR_HTTPS_AUTH);
        log_level_set(OVIMAR_LOG_DEBUG);
    }
    void TearDown() override { log_level_set(OVIMAR_LOG_ERR); }

    std::string uci(const char *option)
    {
        char buf[512] = {};
        uci_get_value("ovimar", "mqtt", option, buf, sizeof(buf));
        return buf;
    }
};

struct Step {
    const char *msg;
    uint32_t state;   // after the message
    const char *log;  // a line it leaves
};

struct SequenceCase {
    const char *name;
    uint32_t last_id;
    const char *last_method;
    std::vector<Step> steps;
    uint32_t last_id_after;
};

const char AUTH_OK[] = R"({"id":2,"result":0,"cookie":"c1"})";

const SequenceCase SEQUENCES[] = {
    {"accepted", 2, "devAuth", {{AUTH_OK, 1, "succeed to https auth\n"}}, 0},
    {"late", 2, "devAuth",
     {{R"({"id":3,"result":0,"cookie":"c"})", 0, "sequence err clean require record"},
      {AUTH_OK, 0, "sequence err clean require record"}},
     0},
    {"duplicate", 2, "devAuth",
     {{AUTH_OK, 1, "succeed to https auth\n"}, {AUTH_OK, 1, "sequence err clean require record"}},
     0},
    {"unsolicited", 0, nullptr, {{AUTH_OK, 0, "sequence err clean require record"}}, 0},
    {"9008 is processed", 2, "devAuth",
     {{R"({"id":2,"result":9008,"cookie":"c"})", 0, "failed to https auth result:-1\n"}}, 0},
    {"9009 is refused, the record waits", 2, "devAuth",
     {{R"({"id":2,"result":9009,"cookie":"c"})", 0, "failed to parse userdata, invalid msg type"}},
     2},
    {"then the right answer", 2, "devAuth",
     {{R"({"id":2,"result":9009})", 0, "invalid msg type"}, {AUTH_OK, 1, "succeed to https auth"}},
     0},
    {"id 0 and negative results", 2, "devAuth",
     {{R"({"id":0,"result":0})", 0, "invalid msg type"},
      {R"({"id":2,"result":-1})", 0, "invalid msg type"},
      {R"({"result":0})", 0, "key id not exist! \n"}},
     2},
    {"no cookie", 2, "devAuth", {{R"({"id":2,"result":0})", 0, "failed to https auth result:-1"}},
     0},
    {"not JSON", 2, "devAuth", {{"<html>", 0, "failed to parse userdata, invalid key"}}, 2},
    {"devInfoSync", 4, "devInfoSync",
     {{R"({"id":"4","result":"0"})", 0, "succeed to mqtt devInfoSync.\n"}}, 0},
};

} // namespace

TEST_F(Dispatch, ResponsesMatchTheOneOutstandingRequest)
{
    for (const auto &c : SEQUENCES) {
        SCOPED_TRACE(c.name);
        agent_state_set(OVIMAR_HTTPS_AUTH);
        set_last_request(c.last_id, c.last_method);
        for (const auto &s : c.steps) {
            SCOPED_TRACE(s.msg);
            std::string log = logged([&] { ovimar_parse_response_msg(s.msg); });
            EXPECT_EQ(agent_state_get(), s.state);
            EXPECT_TRUE(has(log, s.log)) << log;
        }
        EXPECT_EQ(g_last_request.last_id, c.last_id_after);
    }
    set_last_request(2, "devAuth");
    ovimar_parse_response_msg(AUTH_OK);
    EXPECT_STREQ(g_mqtt_server.cookie, "c1");
}

namespace {

const std::string CLIENT =
    R"({"BrokerAddress":"10.0.0.5","BrokerPort":8883,"KeepAliveTime":"45",)"
    R"("Subscription.1.Topic":"t/1","Username":"u","Password":"p"})";

} // namespace

TEST_F(Dispatch, BrokerRecordServesWhenUciCannotBeWritten)
{
    const std::string full = R"({"parameterValues":{"Device.MQTT.Client.1":)" + CLIENT + "}}";
    // No mqtt section: created with its type.
    router.config("ovimar", "config server 'server'\n");
    EXPECT_EQ(save_mqtt_server(full.c_str(), 0), 0);
    EXPECT_TRUE(has(router.config("ovimar"), "config mqtt 'mqtt'"));
    EXPECT_EQ(uci("KeepAliveTime"), "45");
    EXPECT_EQ(uci("Username"), "u");

    // No package at all: the memory record still serves the connect.
    testsupport::run({"rm", "-f", router.confdir + "/ovimar"});
    g_mqtt_server = {};
    std::string log = logged([&] { EXPECT_EQ(save_mqtt_server(full.c_str(), 9008), 0); });
    EXPECT_STREQ(g_mqtt_server.BrokerAddress, "10.0.0.5");
    EXPECT_TRUE(has(log, "failed to http get server response result:9008\n"));
    EXPECT_TRUE(has(log, "failed to save mqtt server info in uci.\n")) << log;

    // Through the dispatcher: refused broker responses leave the state.
    router.config("ovimar", "");
    agent_state_set(OVIMAR_HTTPS_GET_SERVER);
    set_last_request(3, "devGetMqttServer");
    log = logged([] { ovimar_parse_response_msg(R"({"id":3,"result":0,"uuid":"u"})"); });
    EXPECT_EQ(agent_state_get(), OVIMAR_HTTPS_GET_SERVER);
    EXPECT_TRUE(has(log, "failed to https get_server result:-1\n"));
    set_last_request(4, "devGetMqttServer");
    std::string ok = R"({"id":4,"result":0,"parameterValues":{"Device.MQTT.Client.1":)" + CLIENT +
                     "}}";
    log = logged([&] { ovimar_parse_response_msg(ok.c_str()); });
    EXPECT_EQ(agent_state_get(), OVIMAR_MQTT_CONNECT);
    EXPECT_TRUE(has(log, "succeed to https get_server\n"));
}

TEST_F(Dispatch, JsonHelpersReadNestedValuesAndHeaders)
{
    struct Case {
        const char *text, *key;
        int size;
        const char *want; // nullptr: nothing found
    } cases[] = {
        {R"({"a":{"b":1}})", "a", 64, R"({ "b": 1 })"},
        {R"({ "b": 1 })", "b", 64, "1"},
        {R"({"s":"x/y","t":true,"l":[1,"2"]})", "s", 64, "x/y"},
        {R"({"s":"x/y","t":true,"l":[1,"2"]})", "t", 64, "true"},
        {R"({"s":"x/y","t":true,"l":[1,"2"]})", "l", 64, R"([ 1, "2" ])"},
        {R"({"s":"abcdef"})", "s", 4, "abc"},
        {R"({"n":null})", "n", 64, nullptr},
        {R"({"n":1})", "m", 64, nullptr},
        {"not json", "n", 64, nullptr},
        {"[1,2]", "n", 64, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " " + c.key);
        char dst[64] = {};
        char *r = nullptr;
        logged([&] { r = json_get_key(c.text, c.key, dst, c.size); });
        EXPECT_EQ(r != nullptr, c.want != nullptr);
        EXPECT_STREQ(dst, c.want ? c.want : "");
    }

    char method[LAST_METHOD_LEN] = {};
    int result = -1, id = -1;
    std::string log = logged([&] {
        EXPECT_EQ(parse_msg_header(R"({"id":"7"})", method, &result, &id), 0);
    });
    EXPECT_EQ(id, 7);
    EXPECT_EQ(result, -1);
    EXPECT_STREQ(method, "");
    EXPECT_TRUE(has(log, "key method not exist! \n") && has(log, "key result not exist! \n"));
    std::string long_method = R"({"method":")" + std::string(100, 'm') + "\"}";
    EXPECT_EQ(parse_msg_header(long_method.c_str(), method, &result, &id), 0);
    EXPECT_EQ(strlen(method), 63u);
    EXPECT_EQ(parse_msg_header("{", method, &result, &id), -1);
}

TEST_F(Dispatch, BusTextKeepsEveryEscapeButTheSlash)
{
    // Each value as the host formatter writes it ("\/") and as the
    // router's does ("/"); both must come out as the same valid JSON.
    const char *values[] = {
        R"({"u":"http:\/\/platform\/a"})", R"({"u":"http://platform/a"})",
        R"({"q":"say \"hi\""})",           R"({"b":"c:\\d\\"})",
        R"({"b":"\\\/x"})",                R"({"c":"tab\tnl\nu\u0001"})",
        R"({"m":{"k":["a\/b",1]}})",
    };
    for (const char *v : values) {
        SCOPED_TRACE(v);
        json_ptr want(json_tokener_parse(v));
        ASSERT_TRUE(want);

        std::string direct = v;
        direct.resize(bus_text_unescape(direct.data()));
        json_ptr got(json_tokener_parse(direct.c_str()));
        ASSERT_TRUE(got) << direct;
        EXPECT_TRUE(json_object_equal(want.get(), got.get())) << direct;
        // Slashes reach the hooks plain: the text equals the unescaped shape.
        if (!strcmp(v, values[0])) {
            EXPECT_EQ(direct, values[1]);
        }

        // Through this platform's own formatter, as the bus hands it on.
        blob_buf b = {};
        blob_buf_init(&b, 0);
        ASSERT_TRUE(blobmsg_add_json_from_string(&b, v));
        char *text = blobmsg_format_json_with_cb(b.head, true, nullptr, nullptr, -1);
        blob_buf_free(&b);
        ASSERT_NE(text, nullptr);
        bus_text_unescape(text);
        json_ptr formatted(json_tokener_parse(text));
        EXPECT_TRUE(formatted && json_object_equal(want.get(), formatted.get())) << text;
        free(text);
    }
}
