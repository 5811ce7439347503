// blobmsg to JSON text in the router library's form, JSON text to blobmsg,
// and the round trips between them.
#include "blob_test.h"

#include <cstdio>

#include <json-c/json.h>

#include "proc.h"

namespace {

std::string json(blob_attr *attr, bool list = true, int indent = -1)
{
    Text t{blobmsg_format_json_indent(attr, list, indent)};
    return t.str();
}

TEST(BlobmsgJson, CompactForm)
{
    Buf m;
    blobmsg_add_u32(&m.b, "a", 1);
    blobmsg_add_string(&m.b, "b", "x");
    EXPECT_EQ(json(m.b.head), R"({"a":1,"b":"x"})");
    Text t{blobmsg_format_json(m.b.head, true)};
    EXPECT_EQ(t.str(), R"({"a":1,"b":"x"})");

    Buf empty;
    EXPECT_EQ(json(empty.b.head), "{}");
}

TEST(BlobmsgJson, EveryTypeAndNesting)
{
    Buf m;
    blobmsg_add_u8(&m.b, "t", 1);
    blobmsg_add_u8(&m.b, "f", 0);
    blobmsg_add_u16(&m.b, "w", 65535);  // printed signed, as the router does
    blobmsg_add_u32(&m.b, "neg", static_cast<uint32_t>(-5));
    blobmsg_add_u64(&m.b, "l", 1ULL << 40);
    blobmsg_add_u64(&m.b, "lneg", static_cast<uint64_t>(-7));
    blobmsg_add_double(&m.b, "d", 0.25);
    blobmsg_add_field(&m.b, BLOBMSG_TYPE_UNSPEC, "n", nullptr, 0);
    blobmsg_add_string(&m.b, "s", "str");
    void *o = blobmsg_open_table(&m.b, "o");
    blobmsg_add_string(&m.b, "x", "y");
    blobmsg_close_table(&m.b, o);
    void *a = blobmsg_open_array(&m.b, "a");
    blobmsg_add_u32(&m.b, nullptr, 1);
    blobmsg_add_string(&m.b, nullptr, "s");
    blobmsg_add_u8(&m.b, nullptr, 1);
    blobmsg_add_field(&m.b, BLOBMSG_TYPE_UNSPEC, nullptr, nullptr, 0);
    blobmsg_close_array(&m.b, blobmsg_open_array(&m.b, nullptr));
    blobmsg_close_table(&m.b, blobmsg_open_table(&m.b, nullptr));
    blobmsg_close_array(&m.b, a);

    EXPECT_EQ(json(m.b.head),
              R"({"t":true,"f":false,"w":-1,"neg":-5,"l":1099511627776,"lneg":-7,)"
              R"("d":0.250000,"n":null,"s":"str","o":{"x":"y"},"a":[1,"s",true,null,[],{}]})");

    // One attribute alone: with its name, or just its value.
    auto *obj = static_cast<blob_attr *>(blob_data(m.b.head));
    blob_attr *cur;
    size_t rem;
    blobmsg_for_each_attr(cur, m.b.head, rem)
        if (!strcmp(blobmsg_name(cur), "o"))
            obj = cur;
    EXPECT_EQ(json(obj, false), R"("o":{"x":"y"})");
    Text v{blobmsg_format_json_value(obj)};
    EXPECT_EQ(v.str(), R"({"x":"y"})");
    EXPECT_EQ(json(obj, true), R"({"x":"y"})");
}

// "/" stays as it is: the router's formatter does not escape it.
TEST(BlobmsgJson, StringsAreEscapedAsJsonRequires)
{
    Buf m;
    blobmsg_add_string(&m.b, "k\"ey", "q\"b\\s/ \n\t\r\b\x01\x1f\x7f \xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(json(m.b.head),
              "{\"k\\\"ey\":\"q\\\"b\\\\s/ \\n\\t\\r\\b\\u0001\\u001f\x7f \xc3\xa9 \xe2\x82\xac\"}");
}

TEST(BlobmsgJson, IndentedFormUsesTabs)
{
    Buf m;
    blobmsg_add_u32(&m.b, "a", 1);
    void *b = blobmsg_open_array(&m.b, "b");
    blobmsg_add_u32(&m.b, nullptr, 2);
    blobmsg_close_array(&m.b, b);
    EXPECT_EQ(json(m.b.head, true, 0), "{\n\t\"a\": 1,\n\t\"b\": [\n\t\t2\n\t]\n}");
    EXPECT_EQ(json(m.b.head, true, 1), "{\n\t\t\"a\": 1,\n\t\t\"b\": [\n\t\t\t2\n\t\t]\n\t}");
}

TEST(BlobmsgJson, FormatCallbackReplacesValues)
{
    Buf m;
    blobmsg_add_u32(&m.b, "a", 1);
    blobmsg_add_string(&m.b, "b", "secret");
    int calls = 0;
    auto cb = [](void *priv, blob_attr *attr) -> const char * {
        ++*static_cast<int *>(priv);
        return blobmsg_type(attr) == BLOBMSG_TYPE_STRING ? "\"***\"" : nullptr;
    };
    Text t{blobmsg_format_json_with_cb(m.b.head, true, cb, &calls, -1)};
    EXPECT_EQ(t.str(), R"({"a":1,"b":"***"})");
    EXPECT_EQ(calls, 2);
}

blob_attr *member(blob_attr *table, const char *name)
{
    blob_attr *cur;
    size_t rem;
    blobmsg_for_each_attr(cur, table, rem)
        if (!strcmp(blobmsg_name(cur), name))
            return cur;
    return nullptr;
}

const char *const ROUND_TRIP_IN =
    R"({"s":"a\"b\\c\u00e9\n","i":-5,"big":5000000000,"f":2.5,"t":true,"n":null,)"
    R"("o":{"x":[1,{"y":"z"}],"e":{}},"arr":[]})";
const char *const ROUND_TRIP_OUT =
    "{\"s\":\"a\\\"b\\\\c\xc3\xa9\\n\",\"i\":-5,\"big\":5000000000,\"f\":2.500000,\"t\":true,"
    "\"n\":null,\"o\":{\"x\":[1,{\"y\":\"z\"}],\"e\":{}},\"arr\":[]}";

TEST(BlobmsgJson, RoundTripKeepsTypesValuesAndBytes)
{
    Buf m;
    ASSERT_TRUE(blobmsg_add_json_from_string(&m.b, ROUND_TRIP_IN));
    const std::vector<std::pair<const char *, int>> types = {
        {"s", BLOBMSG_TYPE_STRING}, {"i", BLOBMSG_TYPE_INT32},  {"big", BLOBMSG_TYPE_INT64},
        {"f", BLOBMSG_TYPE_DOUBLE}, {"t", BLOBMSG_TYPE_BOOL},   {"n", BLOBMSG_TYPE_UNSPEC},
        {"o", BLOBMSG_TYPE_TABLE},  {"arr", BLOBMSG_TYPE_ARRAY}};
    for (auto [name, type] : types) {
        blob_attr *a = member(m.b.head, name);
        ASSERT_NE(a, nullptr) << name;
        EXPECT_EQ(blobmsg_type(a), type) << name;
    }
    EXPECT_STREQ(blobmsg_get_string(member(m.b.head, "s")), "a\"b\\c\xc3\xa9\n");
    EXPECT_EQ(static_cast<int32_t>(blobmsg_get_u32(member(m.b.head, "i"))), -5);
    EXPECT_EQ(blobmsg_get_u64(member(m.b.head, "big")), 5000000000ULL);

    std::string out = json(m.b.head);
    EXPECT_EQ(out, ROUND_TRIP_OUT);

    // The text is JSON with the same values, and converts back to the same bytes.
    json_object *a = json_tokener_parse(ROUND_TRIP_IN), *b = json_tokener_parse(out.c_str());
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(json_object_equal(a, b));
    json_object_put(a);
    json_object_put(b);
    Buf again;
    ASSERT_TRUE(blobmsg_add_json_from_string(&again.b, out.c_str()));
    EXPECT_TRUE(blob_attr_equal(again.b.head, m.b.head));
}

TEST(BlobmsgJson, IntegersTakeThirtyTwoBitsWhenTheyFit)
{
    Buf m;
    ASSERT_TRUE(blobmsg_add_json_from_string(
        &m.b, R"({"a":2147483647,"b":2147483648,"c":-2147483648,"d":-2147483649})"));
    EXPECT_EQ(blobmsg_type(member(m.b.head, "a")), BLOBMSG_TYPE_INT32);
    EXPECT_EQ(blobmsg_type(member(m.b.head, "b")), BLOBMSG_TYPE_INT64);
    EXPECT_EQ(blobmsg_type(member(m.b.head, "c")), BLOBMSG_TYPE_INT32);
    EXPECT_EQ(blobmsg_type(member(m.b.head, "d")), BLOBMSG_TYPE_INT64);
    EXPECT_EQ(json(m.b.head), R"({"a":2147483647,"b":2147483648,"c":-2147483648,"d":-2147483649})");
}

TEST(BlobmsgJson, OnlyJsonObjectsAreAccepted)
{
    for (const char *text : {"[1,2]", "\"str\"", "42", "true", "null", "", "   ", "{", "}",
                             R"({"a":})", R"({"a" 1})", R"({"a":tru})", "nul", R"({"a":[1,}})"}) {
        Buf m;
        EXPECT_FALSE(blobmsg_add_json_from_string(&m.b, text)) << text;
        EXPECT_EQ(blob_len(m.b.head), 0u) << text;
    }
    Buf m;
    EXPECT_FALSE(blobmsg_add_json_from_string(&m.b, nullptr));
    EXPECT_TRUE(blobmsg_add_json_from_string(&m.b, "{}"));
    EXPECT_EQ(blob_len(m.b.head), 0u);
}

TEST(BlobmsgJson, ObjectsBuiltInCodeAndFiles)
{
    json_object *obj = json_object_new_object();
    json_object_object_add(obj, "name", json_object_new_string("lan"));
    json_object *list = json_object_new_array();
    json_object_array_add(list, json_object_new_int(3));
    json_object_array_add(list, json_object_new_double(0.5));
    json_object_object_add(obj, "list", list);

    Buf m;
    EXPECT_TRUE(blobmsg_add_object(&m.b, obj));
    EXPECT_TRUE(blobmsg_add_json_element(&m.b, "whole", obj));
    json_object_put(obj);
    EXPECT_EQ(json(m.b.head),
              R"({"name":"lan","list":[3,0.500000],"whole":{"name":"lan","list":[3,0.500000]}})");

    testsupport::TempDir dir;
    testsupport::write_file(dir.file("in.json"), R"({"k":[true,"v"]})");
    Buf f;
    EXPECT_TRUE(blobmsg_add_json_from_file(&f.b, dir.file("in.json").c_str()));
    EXPECT_EQ(json(f.b.head), R"({"k":[true,"v"]})");
    EXPECT_FALSE(blobmsg_add_json_from_file(&f.b, dir.file("absent.json").c_str()));
}

TEST(BlobmsgJson, TopLevelArrayFormatsAsArray)
{
    Buf m;
    void *a = blobmsg_open_array(&m.b, "a");
    blobmsg_add_string(&m.b, nullptr, "x");
    blobmsg_add_u32(&m.b, nullptr, 2);
    blobmsg_close_array(&m.b, a);
    EXPECT_EQ(json(static_cast<blob_attr *>(blob_data(m.b.head))), R"(["x",2])");
}

} // namespace
