// The two blobmsg_json builds on the same blobs: every entry point, every
// form (compact, indented at several depths, with a callback), must print
// the same bytes and report the same parse result.
#include <gtest/gtest.h>

#include <string>

#include "proc.h"

namespace {

struct Case {
    const char *kind;  // "json": parsed from text; "blob": built by name
    const char *input;
};

constexpr Case CASES[] = {
    {"json", R"({"url":"http://a/b","path":"/etc/config"})"},
    {"json", R"({"q":"a\"b\\c","c":"\b\f\n\r\t\u0001\u001f"})"},
    {"json", R"({"u":"\u00e9\u20ac\ud83d\ude00","raw":"é€"})"},
    {"json", R"({"i":1,"neg":-7,"max":2147483647,"over":2147483648,"low":-2147483649})"},
    {"json", R"({"d":1.0,"e":2.5e-3,"big":1e300,"b":true,"f":false,"z":null})"},
    {"json", R"({"a":[1,"s",{"x":null},[]],"t":{},"n":{"m":{"k":[[[1]]]}}})"},
    {"json", R"({"dup":1,"dup":2})"},
    {"json", R"({})"},
    {"json", R"([1,2])"},
    {"json", R"("text")"},
    {"json", R"({"a":1,)"},
    {"json", R"({"x":1} trailing)"},
    {"json", R"({"k":"\u0000x"})"},
    {"blob", "empty"},
    {"blob", "ints"},
    {"blob", "doubles"},
    {"blob", "unspec"},
    {"blob", "names"},
    {"blob", "controls"},
    {"blob", "empties"},
    {"blob", "array-names"},
    {"blob", "top-array"},
    {"blob", "deep"},
    {"blob", "bad-string"},
};

class JsonCross : public ::testing::TestWithParam<Case> {};

TEST_P(JsonCross, BothFormattersPrintTheSameBytes)
{
    const Case &c = GetParam();
    auto real = testsupport::run({JSON_DUMP_REAL, c.kind, c.input});
    auto host = testsupport::run({JSON_DUMP_HOST, c.kind, c.input});
    ASSERT_NE(real.code, 2) << "no such case: " << c.input;
    EXPECT_EQ(host.out, real.out);
    EXPECT_EQ(host.code, real.code);
    EXPECT_EQ(host.err, real.err);
}

INSTANTIATE_TEST_SUITE_P(Inputs, JsonCross, ::testing::ValuesIn(CASES));

} // namespace
