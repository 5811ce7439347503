// ovimar-agent's command line and log filter, run as a program.
#include <gtest/gtest.h>

#include <string>

#include "proc.h"
#include "router.h"

using testsupport::Result;

namespace {

const std::string HELP_TAIL =
    "             OVIMAR_LOG_EMERG    0\n"
    "             OVIMAR_LOG_ALERT    1\n"
    "             OVIMAR_LOG_CRIT     2\n"
    "             OVIMAR_LOG_ERR      3\n"
    "             OVIMAR_LOG_WARNING  4\n"
    "             OVIMAR_LOG_NOTICE   5\n"
    "             OVIMAR_LOG_INFO     6\n"
    "             OVIMAR_LOG_DEBUG    7\n";

std::string help(int level, int mode)
{
    return "Options:\n-l <level>:  log level(default: " + std::to_string(level) + ")\n" +
           HELP_TAIL + "-m <mode>:   log mode (default:    " + std::to_string(mode) + ")\n" +
           "             OVIMAR_LOG_MODE_SYSLOG 0\n"
           "             OVIMAR_LOG_MODE_STDERR 1\n"
           "-h <help>:   help\n";
}

// No bus daemon listens on the private router's socket, so start-up stops
// at the connect step and the one message it logs shows the level filter
// at work.
class AgentCli : public testsupport::RouterTest {
protected:
    Result agent(std::vector<std::string> args)
    {
        args.insert(args.begin(), OVIMAR_AGENT);
        testsupport::RunOptions o;
        o.timeout_ms = 10000;
        return testsupport::run(args, o);
    }
};

} // namespace

TEST_F(AgentCli, Help)
{
    Result r = agent({"-h"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, help(3, 1));
    // Options before -h show in it; options after it are never read.
    EXPECT_EQ(agent({"-l", "7", "-m", "0", "-h"}).out, help(7, 0));
    r = agent({"-h", "-l", "9"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, help(3, 1));
}

TEST_F(AgentCli, RejectedLevelAndMode)
{
    struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"-l", "8"}, "invalid input levle 8\n"},
        {{"-l", "-1"}, "invalid input levle -1\n"},
        {{"-l", "7", "-l", "12"}, "invalid input levle 12\n"},
        {{"-m", "2"}, "invalid input mode 2\n"},
    };
    for (const auto &c : cases) {
        Result r = agent(c.args);
        EXPECT_EQ(r.code, 255) << c.args[1];
        EXPECT_EQ(r.out, c.out);
    }
}

TEST_F(AgentCli, LevelFiltersTheConnectFailure)
{
    const std::string failed = "ubus connect failed\n";
    struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{}, failed},                    // default level 3
        {{"-l", "abc"}, ""},             // atoi: 0, accepted
        {{"-l", "2"}, ""},
        {{"-l", "7", "-l", "2"}, ""},    // the last valid one wins
        {{"-l", "2", "-l", "3"}, failed},
        {{"-m", "-1"}, failed},          // negative mode: standard output
        {{"-x", "-l", "3"}, failed},     // unknown option ignored
        {{"word", "-l", "9"}, failed},   // options end at the first other word
    };
    for (const auto &c : cases) {
        Result r = agent(c.args);
        EXPECT_EQ(r.code, 255);
        EXPECT_EQ(r.out, c.out) << (c.args.empty() ? "" : c.args[0]);
    }
}
