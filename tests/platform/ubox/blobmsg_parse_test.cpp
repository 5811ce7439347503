// blobmsg_parse against policy tables, and the validity checks that guard
// it against malformed attributes.
#include "blob_test.h"

namespace {

enum { P_ID, P_N, P_MISSING, P_T, P_WRONG, P_ANYINT, P_NONAME, P_MAX };

const blobmsg_policy POLICY[P_MAX] = {
    {"id", BLOBMSG_TYPE_STRING},   {"n", BLOBMSG_TYPE_INT32},
    {"missing", BLOBMSG_TYPE_STRING}, {"t", BLOBMSG_TYPE_TABLE},
    {"wrong", BLOBMSG_TYPE_INT32}, {"small", BLOBMSG_CAST_INT64},
    {nullptr, BLOBMSG_TYPE_STRING},
};

TEST(BlobmsgParse, MissingAndWrongTypedAttributesStayEmpty)
{
    Buf m;
    blobmsg_add_string(&m.b, "id", "first");
    blobmsg_add_u32(&m.b, "n", 42);
    blobmsg_add_string(&m.b, "wrong", "not a number");
    blobmsg_add_u16(&m.b, "small", 7);
    void *t = blobmsg_open_table(&m.b, "t");
    blobmsg_add_string(&m.b, "id", "inner");
    blobmsg_close_table(&m.b, t);
    blobmsg_add_string(&m.b, "id", "second");

    blob_attr *tb[P_MAX];
    ASSERT_EQ(blobmsg_parse(POLICY, P_MAX, tb, blob_data(m.b.head), blob_len(m.b.head)), 0);
    ASSERT_NE(tb[P_ID], nullptr);
    EXPECT_STREQ(blobmsg_get_string(tb[P_ID]), "first");  // the first of a name wins
    ASSERT_NE(tb[P_N], nullptr);
    EXPECT_EQ(blobmsg_get_u32(tb[P_N]), 42u);
    EXPECT_EQ(tb[P_MISSING], nullptr);
    EXPECT_EQ(tb[P_WRONG], nullptr);
    ASSERT_NE(tb[P_ANYINT], nullptr);
    EXPECT_EQ(blobmsg_cast_u64(tb[P_ANYINT]), 7u);
    EXPECT_EQ(tb[P_NONAME], nullptr);
    ASSERT_NE(tb[P_T], nullptr);

    // The nested table parses on its own, and its "id" is its own.
    blob_attr *in[P_MAX];
    ASSERT_EQ(blobmsg_parse_attr(POLICY, P_MAX, in, tb[P_T]), 0);
    ASSERT_NE(in[P_ID], nullptr);
    EXPECT_STREQ(blobmsg_get_string(in[P_ID]), "inner");
    EXPECT_EQ(in[P_N], nullptr);
}

TEST(BlobmsgParse, EmptyInputIsAnErrorAndClearsTheTable)
{
    blob_attr *tb[P_MAX];
    memset(tb, 0xff, sizeof(tb));
    EXPECT_EQ(blobmsg_parse(POLICY, P_MAX, tb, nullptr, 0), -EINVAL);
    for (blob_attr *a : tb)
        EXPECT_EQ(a, nullptr);
}

// Crafted bytes: one attribute named "id" whose name length claims more
// than the attribute holds.
TEST(BlobmsgParse, MalformedMatchingAttributeFailsTheParse)
{
    alignas(4) uint8_t raw[] = {
        0x83, 0x00, 0x00, 0x0c,  // ext | STRING, 12
        0x00, 0x02, 'i', 'd',    // name length 2, but no room for NUL+payload
        'x', 'y', 0x00, 0x00,
    };
    auto *attr = reinterpret_cast<blob_attr *>(raw);
    EXPECT_FALSE(blobmsg_check_attr(attr, true));  // "id" lacks its NUL
    blob_attr *tb[P_MAX];
    EXPECT_EQ(blobmsg_parse(POLICY, P_MAX, tb, raw, sizeof(raw)), -1);
}

TEST(BlobmsgParse, ArraysParseByPosition)
{
    Buf m;
    void *a = blobmsg_open_array(&m.b, "a");
    blobmsg_add_string(&m.b, nullptr, "one");
    blobmsg_add_u8(&m.b, nullptr, 1);  // not a number the policy wants: skipped
    blobmsg_add_u32(&m.b, nullptr, 2);
    blobmsg_add_string(&m.b, nullptr, "three");
    blobmsg_close_array(&m.b, a);

    const blobmsg_policy pos[] = {{nullptr, BLOBMSG_TYPE_STRING}, {nullptr, BLOBMSG_TYPE_INT32},
                                  {nullptr, BLOBMSG_TYPE_STRING}};
    blob_attr *tb[3];
    auto *arr = static_cast<blob_attr *>(blob_data(m.b.head));
    ASSERT_EQ(blobmsg_parse_array_attr(pos, 3, tb, arr), 0);
    ASSERT_TRUE(tb[0] && tb[1] && tb[2]);
    EXPECT_STREQ(blobmsg_get_string(tb[0]), "one");
    EXPECT_EQ(blobmsg_get_u32(tb[1]), 2u);
    EXPECT_STREQ(blobmsg_get_string(tb[2]), "three");
}

blob_attr *first(Buf &m) { return static_cast<blob_attr *>(blob_data(m.b.head)); }

TEST(BlobmsgCheck, TypesAndNamesAreValidated)
{
    Buf m;
    blobmsg_add_string(&m.b, "s", "v");
    EXPECT_TRUE(blobmsg_check_attr(first(m), true));
    EXPECT_TRUE(blobmsg_check_attr_len(first(m), true, blob_raw_len(first(m))));
    EXPECT_FALSE(blobmsg_check_attr_len(first(m), true, blob_raw_len(first(m)) - 1));

    Buf unnamed;
    blobmsg_add_u32(&unnamed.b, nullptr, 1);
    EXPECT_TRUE(blobmsg_check_attr(first(unnamed), false));
    EXPECT_FALSE(blobmsg_check_attr(first(unnamed), true));  // a table member needs a name

    // Integers must have their exact size, strings their NUL.
    Buf bad;
    blobmsg_add_field(&bad.b, BLOBMSG_TYPE_INT32, "i", "abc", 3);
    EXPECT_FALSE(blobmsg_check_attr(first(bad), true));
    Buf nonul;
    blobmsg_add_field(&nonul.b, BLOBMSG_TYPE_STRING, "s", "abc", 3);
    EXPECT_FALSE(blobmsg_check_attr(first(nonul), true));
    Buf unknown;
    blobmsg_add_field(&unknown.b, 42, "x", "", 1);
    EXPECT_FALSE(blobmsg_check_attr(first(unknown), true));
}

TEST(BlobmsgCheck, ArraysCountTheirElementsOfOneType)
{
    Buf m;
    void *a = blobmsg_open_array(&m.b, "strings");
    blobmsg_add_string(&m.b, nullptr, "x");
    blobmsg_add_string(&m.b, nullptr, "y");
    blobmsg_close_array(&m.b, a);
    void *t = blobmsg_open_table(&m.b, "mixed");
    blobmsg_add_string(&m.b, "x", "1");
    blobmsg_add_u32(&m.b, "y", 2);
    blobmsg_close_table(&m.b, t);

    blob_attr *arr = first(m), *tbl = blob_next(arr);
    EXPECT_EQ(blobmsg_check_array(arr, BLOBMSG_TYPE_STRING), 2);
    EXPECT_TRUE(blobmsg_check_attr_list(arr, BLOBMSG_TYPE_STRING));
    EXPECT_EQ(blobmsg_check_array(tbl, BLOBMSG_TYPE_STRING), -1);
    EXPECT_EQ(blobmsg_check_array(tbl, BLOBMSG_TYPE_UNSPEC), 2);
    EXPECT_EQ(blobmsg_check_array(first(m), BLOBMSG_TYPE_LAST + 1), -1);

    Buf scalar;
    blobmsg_add_u8(&scalar.b, "b", 0);
    EXPECT_EQ(blobmsg_check_array(first(scalar), BLOBMSG_TYPE_UNSPEC), -1);
}

} // namespace
