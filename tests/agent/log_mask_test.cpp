// What never reaches the log, in every form a payload can carry it.
#include <gtest/gtest.h>

#include <string>

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
    };
    for (const auto &c : cases)
        EXPECT_EQ(masked(c.in), c.out) << c.in;
}
