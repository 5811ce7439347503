// One short run of the benchmark, and of the fleet benchmark: the rigs work
// end to end. No figure is judged; only that every round trip was
// answered and the agents settled.
#include <gtest/gtest.h>

#include <string>

#include "proc.h"

namespace {

// The number in the last column ("lost") of the row that starts with label.
int lost_of(const std::string &out, const std::string &label)
{
    size_t at = out.find("  " + label);
    if (at == std::string::npos)
        return -1;
    std::string row = out.substr(at, out.find('\n', at) - at);
    return atoi(row.c_str() + row.find_last_of(' ') + 1);
}

} // namespace

TEST(BenchRun, AgentAnswersEveryRoundTripAndSettlesBound)
{
    testsupport::RunOptions o;
    o.timeout_ms = 150000;
    // The same agent again as the compared one: the second rig works too.
    auto r = testsupport::run({OVIMAR_BENCH_CMD, "--idle", "1", "--rounds", "30", "--blocks",
                               "2", "--warmup", "3", "--compare-agent", OVIMAR_AGENT_CMD},
                              o);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("agent in state 8 (OVIMAR_FINISHED"), std::string::npos) << r.out;
    EXPECT_EQ(lost_of(r.out, "platform>broker>agent"), 0) << r.out;
    EXPECT_EQ(lost_of(r.out, "(a) broker only"), 0) << r.out;
    EXPECT_EQ(lost_of(r.out, "(b) bus only"), 0) << r.out;
    EXPECT_NE(r.out.find("Agent still running"), std::string::npos) << r.out;
    // Every process of both idle tables was there to be measured.
    EXPECT_EQ(r.out.find("(process gone)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Idle memory by agent"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("no libcurl mapped"), std::string::npos) << r.out;
}

// Two agents of a fleet, each in its own private router, through a cold
// start: both settle and each holds a session. No figure is judged.
TEST(BenchRun, FleetOfTwoSettlesWithASessionEach)
{
    testsupport::RunOptions o;
    o.timeout_ms = 120000;
    auto r = testsupport::run({OVIMAR_FLEET_CMD, "--fleet", "2", "--fleet-scenarios", "cold"}, o);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("agents in state 8 / agent sessions at the broker"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(" 2 / 2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("cold start: every agent in state 8 has a session"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("not reached"), std::string::npos) << r.out;
}
