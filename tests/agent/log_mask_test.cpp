// What never reaches the log, in every form a payload can carry it.
#include <gtest/gtest.h>

#include <string>

#include "config.h"
#include "dispatch.h"
#include "log.h"

namespace {

std::string masked(const std::string &t)
{
    std::string out(log_mask_room(t.size()), '\0');
    out.resize(log_mask(t, out.data()));
    return out;
}

} // namespace

TEST(LogMask, SecretValuesGoTheShapeStays)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {R"({"devId":"D1","secret":"s3","id":"2"})", R"({"devId":"D1","secret":"***","id":"2"})"},
        {R"({"cookie" : "c\"k","x":1})", R"({"cookie" : "***","x":1})"},
        {R"({"Password":12345})", R"({"Password":***})"},
        {R"({"PASSWORD":"","secret":null})", R"({"PASSWORD":"***","secret":***})"},
        // parameterValues handed over as text, and dotted TR-181 names
        {R"({"parameterValues":"{\"Username\":\"u\",\"Password\":\"pw\"}"})",
         R"({"parameterValues":"{\"Username\":\"u\",\"Password\":\"***\"}"})"},
        {R"({"Device.MQTT.Client.1.Password":"pw"})", R"({"Device.MQTT.Client.1.Password":"***"})"},
        // a line cut short still hides what it has
        {R"(json_verify failed <{"secret":"s3cr)", R"(json_verify failed <{"secret":"***)"},
        // neither a value nor another key's name
        {R"({"method":"secret","note":"my secret: x","secrets":"ok"})",
         R"({"method":"secret","note":"my secret: x","secrets":"ok"})"},
        {"change state machines to:1 from:0\n", "change state machines to:1 from:0\n"},
        // a value's own quote and backslash, at every depth of escaping
        {R"({"Password":"a\"b\\","x":1})", R"({"Password":"***","x":1})"},
        {R"({"p":"{\"Password\":\"pa\\\"ss\",\"x\":1}"})",
         R"({"p":"{\"Password\":\"***\",\"x\":1}"})"},
        {R"({"p":"{\"c\":\"{\\\"Password\\\":\\\"pa\\\\\\\"ss\\\\\\\\\\\",\\\"x\\\":1}\"}"})",
         R"({"p":"{\"c\":\"{\\\"Password\\\":\\\"***\\\",\\\"x\\\":1}\"}"})"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(masked(c.in), c.out) << c.in;
}

namespace {

// The agent's secrets for one test, cleared when it ends.
struct Secrets {
    Secrets(const char *password, const char *cookie, const char *secret)
    {
        snprintf(g_mqtt_server.Password, sizeof g_mqtt_server.Password, "%s", password);
        snprintf(g_mqtt_server.cookie, sizeof g_mqtt_server.cookie, "%s", cookie);
        snprintf(g_dev_status.secret, sizeof g_dev_status.secret, "%s", secret);
        snprintf(g_mqtt_server.Username, sizeof g_mqtt_server.Username, "%s", "broker-user");
    }
    ~Secrets()
    {
        g_mqtt_server = {};
        memset(g_dev_status.secret, 0, sizeof g_dev_status.secret);
    }
};

} // namespace

TEST(LogMask, KnownSecretsGoWhateverCarriesThem)
{
    Secrets s(R"(pa"ss\w0rd/Q)", "ck-7-40213", "s3cr3t-token-9");
    struct {
        std::string in, out;
    } cases[] = {
        // no key names them
        {"secret s3cr3t-token-9 and ck-7-40213.", "secret *** and ***."},
        {R"(user broker-user pass pa"ss\w0rd/Q)", "user broker-user pass ***"},
        // escaped once, twice and three times, json-c's "\/" or not
        {R"(a pa\"ss\\w0rd\/Q b)", "a *** b"},
        {R"(a pa\\\"ss\\\\w0rd/Q b)", "a *** b"},
        {R"(a pa\\\\\\\"ss\\\\\\\\w0rd\\\/Q b)", "a *** b"},
        // a line cut inside one: a head or a tail of 6 or more goes
        {"data:{\"x\":\"ck-7-4", "data:{\"x\":\"***"},
        {"0213\",\"uuid\":\"u1\"}", "0213\",\"uuid\":\"u1\"}"},
        {"-token-9\",\"id\":2", "***\",\"id\":2"},
        // ordinary text keeps what it shares with a secret below 6 characters,
        // or below 4 besides escapes
        {"token ck-7 id 40213", "token ck-7 id 40213"},
        {R"({\"u\":\"a pa\\\"\"})", R"({\"u\":\"a pa\\\"\"})"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(log_scrub(c.in), c.out) << c.in;
}

TEST(LogMask, ShortSecretGoesWhole)
{
    Secrets s("k\"12", "", "");
    EXPECT_EQ(log_scrub(R"(x k"12 y k\"12 z k\\\"12)"), "x *** y *** z ***");
    EXPECT_EQ(log_scrub("k12 k 12"), "k12 k 12");
}

// Below 4 characters only a key's mask hides it: by value it would take
// every such letter out of every line.
TEST(LogMask, TinySecretOnlyByKey)
{
    Secrets s("p", "", "");
    EXPECT_EQ(log_scrub(R"({"Password":"p","path":"/tmp"})"), R"({"Password":"***","path":"/tmp"})");
}
