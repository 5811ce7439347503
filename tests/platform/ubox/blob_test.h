// Shared pieces of the blob, blobmsg and JSON tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libubox/blobmsg_json.h>
}

// A blob_buf that is freed whatever the test's outcome.
struct Buf {
    blob_buf b{};
    Buf() { blob_buf_init(&b, 0); }
    ~Buf() { blob_buf_free(&b); }
    std::vector<uint8_t> bytes() const
    {
        auto *p = reinterpret_cast<const uint8_t *>(b.head);
        return {p, p + blob_raw_len(b.head)};
    }
};

// A malloc'ed text from the library, freed with free().
struct Text {
    char *s;
    ~Text() { free(s); }
    std::string str() const { return s ? s : "(null)"; }
};
