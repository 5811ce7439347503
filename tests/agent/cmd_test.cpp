// The command runner and the identity read, through the real shell and
// the router's timeout and nvtool commands.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "capture.h"
#include "cmd.h"
#include "env.h"
#include "log.h"

namespace {

class Runner : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_ROUTER(router);
        // The board's old busybox: "timeout -t SECS"; the world restores PATH.
        setenv("PATH", (router.world.paths().board_bin + ":" + getenv("PATH")).c_str(), 1);
        log_level_set(OVIMAR_LOG_DEBUG);
    }
    void TearDown() override { log_level_set(OVIMAR_LOG_ERR); }
    PrivateRouter router;
};

std::string printf_cmd_of_length(size_t len)
{
    // "printf x" plus padding: the formatted part is exactly len long.
    std::string cmd = "printf ";
    cmd += std::string(len - cmd.size(), 'x');
    return cmd;
}

void nv(const std::string &key, const std::string &value)
{
    testsupport::RunOptions o;
    auto r = testsupport::run({"nvtool", "set", key, value}, o);
    ASSERT_EQ(r.code, 0) << r.err;
}

} // namespace

TEST_F(Runner, CommandLengthLimit)
{
    char out[512];
    std::string fits = printf_cmd_of_length(241);
    ASSERT_EQ(run_command(out, sizeof(out), "%s", fits.c_str()), RUN_OK);
    EXPECT_EQ(std::string(out), std::string(234, 'x'));

    std::string too_long = printf_cmd_of_length(242);
    strcpy(out, "untouched");
    StdoutCapture log;
    EXPECT_EQ(run_command(out, sizeof(out), "%s", too_long.c_str()), RUN_INVALID);
    EXPECT_STREQ(out, "untouched");
    EXPECT_NE(log.text().find("fail to execute command, command is too long, pattern: %s\n"),
              std::string::npos);
    EXPECT_EQ(log.text().find("executing command:"), std::string::npos);

    const char *empty = "";
    EXPECT_EQ(run_command(nullptr, 0, "%s", empty), RUN_INVALID);
}

TEST_F(Runner, CaptureMode)
{
    char out[8];
    // Longer than the buffer: cut, and the line feed beyond the cut stays.
    ASSERT_EQ(run_command(out, sizeof(out), "echo 0123456789"), RUN_OK);
    EXPECT_STREQ(out, "0123456");

    ASSERT_EQ(run_command(out, sizeof(out), "echo"), RUN_OK);
    EXPECT_STREQ(out, "");

    ASSERT_EQ(run_command(out, sizeof(out), "printf 'a\\n\\n'"), RUN_OK);
    EXPECT_STREQ(out, "a\n"); // only the last line feed goes

    // Capture mode does not look at the exit status.
    ASSERT_EQ(run_command(out, sizeof(out), "sh -c 'echo e; exit 4'"), RUN_OK);
    EXPECT_STREQ(out, "e");
}

TEST_F(Runner, StatusMode)
{
    StdoutCapture log;
    EXPECT_EQ(run_command(nullptr, 0, "true"), RUN_OK);
    EXPECT_NE(log.text().find("perform system call successfully, cmd: timeout -t 30 true\n"),
              std::string::npos);

    EXPECT_EQ(run_command(nullptr, 0, "sh -c 'exit %d'", 3), RUN_FAILED);
    EXPECT_NE(log.text().find("perform system call failed, cmd: timeout -t 30 sh -c 'exit 3', "
                              "wait status: 3\n"),
              std::string::npos);

    EXPECT_EQ(run_command(nullptr, 0, "sh -c 'kill -KILL $$'"), RUN_FAILED);
    EXPECT_EQ(run_command(nullptr, 0, "no-such-command-here"), RUN_FAILED);
}

TEST_F(Runner, IdentityFallsThroughZveiThenCsn)
{
    struct Case {
        const char *ZVEI, *zvei, *CSN, *want;
    } cases[] = {
        {"UPPER", "lower", "csn", "UPPER"},
        {nullptr, "lower", "csn", "lower"},
        {"", "lower", "csn", "lower"}, // a lone line feed counts as empty
        {nullptr, nullptr, "csn", "csn"},
        {nullptr, nullptr, nullptr, ""},
    };
    for (const Case &c : cases) {
        testsupport::write_file(router.nvfile, "");
        if (c.ZVEI)
            nv("ZVEI", c.ZVEI);
        if (c.zvei)
            nv("zvei", c.zvei);
        if (c.CSN)
            nv("CSN", c.CSN);
        memset(g_client_id, 0, sizeof(g_client_id));
        client_id_load();
        EXPECT_STREQ(g_client_id, c.want);
    }
}

TEST_F(Runner, IdentityIsCutAt64)
{
    std::string id(80, 'q');
    testsupport::write_file(router.nvfile, "");
    nv("ZVEI", id);
    client_id_load();
    EXPECT_EQ(std::string(g_client_id), id.substr(0, 64));
}
