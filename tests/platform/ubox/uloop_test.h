// Shared pieces of the event loop tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>

extern "C" {
#include <libubox/uloop.h>
}

class Loop : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(uloop_init(), 0); }
    void TearDown() override { uloop_done(); }
};

inline int64_t ms_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - t0)
        .count();
}
