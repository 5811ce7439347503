// Byte layout of blob and blobmsg attributes, checked against bytes written
// out by hand from the format: header word big-endian (bit 31 extended,
// bits 24-30 id, bits 0-23 length with the header), name length big-endian,
// name, NUL, padding to 4, payload, padding to 4.
#include "blob_test.h"

#include <memory>

namespace {

using bytes = std::vector<uint8_t>;

void build_sample(blob_buf *b)
{
    blobmsg_add_string(b, "id", "abc");
    blobmsg_add_u32(b, "n", 0x01020304);
    void *t = blobmsg_open_table(b, "t");
    blobmsg_add_u8(b, "b", 1);
    blobmsg_close_table(b, t);
    blobmsg_add_u64(b, "big", 0x0102030405060708ULL);
    blobmsg_add_double(b, "d", 1.5);
    void *a = blobmsg_open_array(b, "a");
    blobmsg_add_string(b, nullptr, "x");
    blobmsg_close_array(b, a);
    blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, "u", nullptr, 0);
    blobmsg_add_u16(b, "s", 0xbeef);
}

const bytes SAMPLE = {
    0x00, 0x00, 0x00, 0x80,                          // root: id 0, 128 bytes
    0x83, 0x00, 0x00, 0x10,                          // ext | STRING(3), 16
    0x00, 0x02, 'i', 'd', 0x00, 0x00, 0x00, 0x00,    //   name "id" + NUL, pad to 8
    'a', 'b', 'c', 0x00,                             //   "abc\0"
    0x85, 0x00, 0x00, 0x0c,                          // ext | INT32(5), 12
    0x00, 0x01, 'n', 0x00,                           //   name "n"
    0x01, 0x02, 0x03, 0x04,                          //   big-endian
    0x82, 0x00, 0x00, 0x14,                          // ext | TABLE(2), 20
    0x00, 0x01, 't', 0x00,                           //   name "t"
    0x87, 0x00, 0x00, 0x09,                          //   ext | INT8(7), 9
    0x00, 0x01, 'b', 0x00, 0x01, 0x00, 0x00, 0x00,   //     "b" = 1, pad 3
    0x84, 0x00, 0x00, 0x14,                          // ext | INT64(4), 20
    0x00, 0x03, 'b', 'i', 'g', 0x00, 0x00, 0x00,     //   name "big", pad to 8
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  //   big-endian
    0x88, 0x00, 0x00, 0x10,                          // ext | DOUBLE(8), 16
    0x00, 0x01, 'd', 0x00,                           //   name "d"
    0x3f, 0xf8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //   1.5, IEEE 754 big-endian
    0x81, 0x00, 0x00, 0x14,                          // ext | ARRAY(1), 20
    0x00, 0x01, 'a', 0x00,                           //   name "a"
    0x83, 0x00, 0x00, 0x0a,                          //   ext | STRING, 10
    0x00, 0x00, 0x00, 0x00, 'x', 0x00, 0x00, 0x00,   //     empty name, "x\0", pad 2
    0x80, 0x00, 0x00, 0x08,                          // ext | UNSPEC(0), 8
    0x00, 0x01, 'u', 0x00,                           //   name "u", no payload
    0x86, 0x00, 0x00, 0x0a,                          // ext | INT16(6), 10
    0x00, 0x01, 's', 0x00, 0xbe, 0xef, 0x00, 0x00,   //   name "s", 0xbeef, pad 2
};

TEST(BlobLayout, KnownMessageHasTheDocumentedBytes)
{
    Buf m;
    build_sample(&m.b);
    EXPECT_EQ(m.bytes(), SAMPLE);
    EXPECT_EQ(blob_len(m.b.head), SAMPLE.size() - 4);
    EXPECT_FALSE(blob_is_extended(m.b.head));
}

TEST(BlobLayout, ReusedBufferGivesTheSameBytes)
{
    Buf m;
    // Leave long names and odd lengths behind in the buffer first.
    for (int i = 0; i < 50; i++)
        blobmsg_add_string(&m.b, "a-rather-long-name-xxxxxxxxxxxxxx", "yyyyyyyyyyyyyyyyyyyyyyyyy");
    blob_buf_init(&m.b, 0);
    build_sample(&m.b);
    EXPECT_EQ(m.bytes(), SAMPLE);
}

TEST(BlobLayout, NameLengthsPadTheHeaderToFourBytes)
{
    // 2 length bytes + name + NUL, rounded up to 4.
    const std::vector<std::pair<std::string, size_t>> cases = {
        {"", 4}, {"a", 4}, {"ab", 8}, {"abc", 8}, {"abcd", 8}, {"abcde", 8}, {"abcdef", 12}};
    for (const auto &[name, hdr] : cases) {
        Buf m;
        blobmsg_add_u8(&m.b, name.c_str(), 9);
        auto *attr = static_cast<blob_attr *>(blob_data(m.b.head));
        EXPECT_EQ(static_cast<size_t>(blobmsg_hdrlen(name.size())), hdr) << name;
        EXPECT_EQ(blob_raw_len(attr), 4 + hdr + 1) << name;
        EXPECT_EQ(blob_pad_len(attr), 4 + hdr + 4) << name;
        EXPECT_EQ(static_cast<char *>(blobmsg_data(attr)) - attr->data, static_cast<long>(hdr));
        EXPECT_EQ(blobmsg_name(attr), name);
        EXPECT_EQ(blobmsg_get_u8(attr), 9);
    }
}

TEST(BlobLayout, GrowingMovesTheBufferUnderOpenNests)
{
    Buf m;
    void *outer = blobmsg_open_table(&m.b, "outer");
    void *list = blobmsg_open_array(&m.b, "list");
    for (int i = 0; i < 2000; i++)
        blobmsg_add_u32(&m.b, nullptr, static_cast<uint32_t>(i));
    blobmsg_close_array(&m.b, list);
    blobmsg_add_string(&m.b, "after", "ok");
    blobmsg_close_table(&m.b, outer);

    auto *o = static_cast<blob_attr *>(blob_data(m.b.head));
    EXPECT_EQ(blob_pad_len(o), blob_len(m.b.head));
    ASSERT_EQ(blobmsg_check_array(o, BLOBMSG_TYPE_UNSPEC), 2);
    blob_attr *cur, *l = nullptr, *after = nullptr;
    size_t rem;
    blobmsg_for_each_attr(cur, o, rem) {
        if (!strcmp(blobmsg_name(cur), "list"))
            l = cur;
        if (!strcmp(blobmsg_name(cur), "after"))
            after = cur;
    }
    ASSERT_TRUE(l && after);
    EXPECT_STREQ(blobmsg_get_string(after), "ok");
    EXPECT_EQ(blobmsg_check_array(l, BLOBMSG_TYPE_INT32), 2000);
    uint32_t expect = 0;
    blobmsg_for_each_attr(cur, l, rem)
        EXPECT_EQ(blobmsg_get_u32(cur), expect++);
    EXPECT_EQ(expect, 2000u);
}

TEST(BlobAccess, IterationAndAccessorsOfEveryType)
{
    Buf m;
    build_sample(&m.b);
    std::vector<std::string> names;
    std::vector<int> types;
    blob_attr *cur;
    size_t rem;
    blobmsg_for_each_attr(cur, m.b.head, rem) {
        names.push_back(blobmsg_name(cur));
        types.push_back(blobmsg_type(cur));
        switch (blobmsg_type(cur)) {
        case BLOBMSG_TYPE_STRING:
            EXPECT_STREQ(blobmsg_get_string(cur), "abc");
            EXPECT_EQ(blobmsg_data_len(cur), 4u);
            break;
        case BLOBMSG_TYPE_INT32:
            EXPECT_EQ(blobmsg_get_u32(cur), 0x01020304u);
            EXPECT_EQ(blobmsg_cast_u64(cur), 0x01020304u);
            break;
        case BLOBMSG_TYPE_INT64:
            EXPECT_EQ(blobmsg_get_u64(cur), 0x0102030405060708ULL);
            break;
        case BLOBMSG_TYPE_DOUBLE:
            EXPECT_EQ(blobmsg_get_double(cur), 1.5);
            break;
        case BLOBMSG_TYPE_INT16:
            EXPECT_EQ(blobmsg_get_u16(cur), 0xbeef);
            EXPECT_EQ(blobmsg_cast_s64(cur), static_cast<int16_t>(0xbeef));
            break;
        case BLOBMSG_TYPE_UNSPEC:
            EXPECT_EQ(blobmsg_data_len(cur), 0u);
            break;
        case BLOBMSG_TYPE_TABLE: {
            blob_attr *in;
            size_t r2;
            int n = 0;
            blobmsg_for_each_attr(in, cur, r2) {
                EXPECT_STREQ(blobmsg_name(in), "b");
                EXPECT_TRUE(blobmsg_get_bool(in));
                n++;
            }
            EXPECT_EQ(n, 1);
            break;
        }
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"id", "n", "t", "big", "d", "a", "u", "s"}));
    EXPECT_EQ(types, (std::vector<int>{BLOBMSG_TYPE_STRING, BLOBMSG_TYPE_INT32, BLOBMSG_TYPE_TABLE,
                                       BLOBMSG_TYPE_INT64, BLOBMSG_TYPE_DOUBLE, BLOBMSG_TYPE_ARRAY,
                                       BLOBMSG_TYPE_UNSPEC, BLOBMSG_TYPE_INT16}));

    // The raw walkers see the same attributes.
    int n = 0;
    blob_for_each_attr(cur, m.b.head, rem)
        n++;
    EXPECT_EQ(n, 8);
    n = 0;
    rem = blob_len(m.b.head);
    __blob_for_each_attr(cur, blob_data(m.b.head), rem)
        n++;
    EXPECT_EQ(n, 8);
    EXPECT_EQ(blobmsg_get_string(nullptr), nullptr);
    EXPECT_EQ(blobmsg_data_len(nullptr), 0u);
}

TEST(BlobAccess, StringBufferAndPrintfMatchAPlainString)
{
    Buf plain, built;
    blobmsg_add_string(&plain.b, "k", "hello");
    blobmsg_add_u8(&plain.b, "z", 1);
    blobmsg_add_string(&plain.b, "p", "5-ab");

    auto *s = static_cast<char *>(blobmsg_alloc_string_buffer(&built.b, "k", 4));
    ASSERT_NE(s, nullptr);
    s = static_cast<char *>(blobmsg_realloc_string_buffer(&built.b, 4000));
    ASSERT_NE(s, nullptr);
    strcpy(s, "hello");
    blobmsg_add_string_buffer(&built.b);
    blobmsg_add_u8(&built.b, "z", 1);
    EXPECT_EQ(blobmsg_printf(&built.b, "p", "%d-%s", 5, "ab"), 4);
    EXPECT_EQ(built.bytes(), plain.bytes());
}

TEST(BlobAccess, PlainBlobsParseAgainstInfoTables)
{
    enum { A_NONE, A_NUM, A_NAME, A_NEST, A_MAX };
    Buf m;
    blob_put_u32(&m.b, A_NUM, 77);
    blob_put_string(&m.b, A_NAME, "eth0");
    void *c = blob_nest_start(&m.b, A_NEST);
    blob_put_u8(&m.b, 1, 5);
    blob_nest_end(&m.b, c);
    blob_put_u16(&m.b, 9, 1);  // beyond max: ignored
    blob_put_u8(&m.b, A_NUM, 3);  // wrong length for INT32: rejected

    // Header words: plain ids, no extended bit.
    auto *first = static_cast<blob_attr *>(blob_data(m.b.head));
    const uint8_t hdr[] = {0x01, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 77};
    EXPECT_EQ(memcmp(first, hdr, sizeof(hdr)), 0);

    const blob_attr_info info[A_MAX] = {
        {}, {BLOB_ATTR_INT32, 0, 0, nullptr}, {BLOB_ATTR_STRING, 0, 0, nullptr},
        {BLOB_ATTR_NESTED, 0, 0, nullptr}};
    blob_attr *tb[A_MAX];
    EXPECT_EQ(blob_parse(m.b.head, tb, info, A_MAX), 3);
    ASSERT_TRUE(tb[A_NUM] && tb[A_NAME] && tb[A_NEST]);
    EXPECT_EQ(tb[A_NONE], nullptr);
    EXPECT_EQ(blob_get_u32(tb[A_NUM]), 77u);
    EXPECT_STREQ(blob_get_string(tb[A_NAME]), "eth0");
    blob_attr *in[2];
    EXPECT_EQ(blob_parse(tb[A_NEST], in, nullptr, 2), 1);
    ASSERT_NE(in[1], nullptr);
    EXPECT_EQ(blob_get_u8(in[1]), 5);

    blob_attr *tb2[A_MAX];
    EXPECT_EQ(blob_parse_untrusted(m.b.head, blob_raw_len(m.b.head), tb2, info, A_MAX), 3);
    EXPECT_EQ(tb2[A_NAME], tb[A_NAME]);
    // A length claiming more than the caller has is not walked at all.
    EXPECT_EQ(blob_parse_untrusted(m.b.head, blob_raw_len(m.b.head) - 4, tb2, info, A_MAX), 0);
}

TEST(BlobAccess, StrayTailBytesEndTheWalkWithoutReadingPastThem)
{
    // A nest of one empty attribute and two stray bytes, in a block of
    // exactly its size: the walkers must not read a header from the tail.
    const uint8_t raw[] = {0x00, 0x00, 0x00, 0x0a, 0x01, 0x00, 0x00, 0x04, 0xee, 0xee};
    std::unique_ptr<uint8_t[]> block(new uint8_t[sizeof(raw)]);
    memcpy(block.get(), raw, sizeof(raw));
    auto *nest = reinterpret_cast<blob_attr *>(block.get());
    ASSERT_EQ(blob_len(nest), 6u);

    blob_attr *tb[2];
    EXPECT_EQ(blob_parse(nest, tb, nullptr, 2), 1);
    EXPECT_EQ(tb[1], blob_data(nest));
    int n = 0;
    blob_attr *cur;
    size_t rem = blob_len(nest);
    __blob_for_each_attr(cur, blob_data(nest), rem)
        n++;
    EXPECT_EQ(n, 1);
    EXPECT_EQ(rem, 2u);
}

TEST(BlobAccess, CopiesCompareEqualAndAppendRaw)
{
    Buf m, other;
    build_sample(&m.b);
    blob_attr *dup = blob_memdup(m.b.head);
    ASSERT_NE(dup, nullptr);
    EXPECT_TRUE(blob_attr_equal(dup, m.b.head));
    blobmsg_add_u8(&other.b, "x", 1);
    EXPECT_FALSE(blob_attr_equal(dup, other.b.head));
    EXPECT_FALSE(blob_attr_equal(dup, nullptr));
    EXPECT_TRUE(blob_attr_equal(nullptr, nullptr));

    // Appending the raw children of one message rebuilds it elsewhere.
    Buf copy;
    ASSERT_NE(blob_put_raw(&copy.b, blob_data(dup), blob_len(dup)), nullptr);
    EXPECT_EQ(copy.bytes(), SAMPLE);
    free(dup);
}

} // namespace

extern "C" int c_headers_summary(char *out, size_t len);

TEST(CHeaders, UsableFromC)
{
    char out[256];
    ASSERT_EQ(c_headers_summary(out, sizeof(out)), 0);
    EXPECT_STREQ(out, R"({"names":["dmz","lan","wan"],"total":6} 3 6 1 x 0)");
}
