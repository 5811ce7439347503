// The fleet benchmark's figures from time-stamped agent lines and
// mosquitto's log: no processes, no clocks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fleet_events.h"

namespace {

std::vector<fleet_event> parse(const std::vector<std::pair<double, std::string>> &lines)
{
    std::vector<fleet_event> out;
    for (const auto &[t, line] : lines)
        fleet_parse_line(line, t, &out);
    return out;
}

std::string kinds(const std::vector<fleet_event> &events)
{
    std::string out;
    for (const fleet_event &e : events)
        out += e.kind == fleet_ev::login            ? 'L'
               : e.kind == fleet_ev::broker_request ? 'B'
               : e.kind == fleet_ev::connect        ? 'C'
               : e.kind == fleet_ev::failure        ? 'F'
                                                    : 'S';
    return out;
}

fleet_event state(double t, int to, int from)
{
    fleet_event e = {t, fleet_ev::state};
    e.to = to;
    e.from = from;
    return e;
}

} // namespace

// The request line has no line feed: what follows shares its line.
TEST(FleetLines, EveryEventOfALineInOrder)
{
    auto ev = parse({{1.5, "https_path 127.0.0.1/api/v1/devAuth payload {\"id\":\"2\"}https path "
                           "request failed ret:-1attempt failed 3 times in a row, next in 1910 ms"},
                     {2, "https_path 127.0.0.1/api/v1/devGetMqttServer payload {}"},
                     {3, "change state machines to:4 from:8"},
                     {4, "https_path 127.0.0.1/api/v1/other payload {}"},
                     {5, "get ZVEI: ZV-FLEET-0001"}});
    ASSERT_EQ(kinds(ev), "LFBS");
    EXPECT_EQ(ev[0].t, 1.5);
    EXPECT_EQ(ev[1].failures, 3);
    EXPECT_EQ(ev[1].delay_ms, 1910);
    EXPECT_EQ(ev[3].to, 4);
    EXPECT_EQ(ev[3].from, 8);
}

// A lost session is counted as a failure on the agent's next tick: no
// try. A reconnect refused at once is one; one that gets as far as TCP
// is one when it starts, and its refusal by the broker is no second one.
TEST(FleetTries, SessionLostThenRefusedReconnectsThenCredentialsRefused)
{
    auto ev = parse({{10, "change state machines to:4 from:8"},
                     {18, "attempt failed 1 times in a row, next in 2000 ms"},
                     {20, "attempt failed 2 times in a row, next in 6000 ms"},
                     {26, "change state machines to:3 from:4"},
                     {26, "change state machines to:0 from:3"},
                     {27, "attempt failed 3 times in a row, next in 9000 ms"},
                     {36, "https_path x/devAuth payload {}"},
                     {36, "change state machines to:1 from:0"},
                     {37, "https_path x/devGetMqttServer payload {}"},
                     {37, "change state machines to:2 from:1"},
                     {38, "attempt failed 1 times in a row, next in 2000 ms"}});
    auto tries = fleet_tries(ev);
    ASSERT_EQ(kinds(tries), "CCLBC");
    EXPECT_EQ(tries[0].t, 20);
    EXPECT_EQ(tries[1].t, 26);
    EXPECT_EQ(tries[4].t, 38); // refused right after a fresh broker record
}

// A failed login, a broker request given up and a connect that timed out
// each end with a failure that is no try of its own.
TEST(FleetTries, FailuresThatEndAnEarlierTry)
{
    auto ev = parse({{1, "https_path x/devAuth payload {}https path request failed ret:-1"
                         "attempt failed 1 times in a row, next in 1500 ms"},
                     {3, "https_path x/devAuth payload {}"},
                     {3, "change state machines to:1 from:0"},
                     {4, "https_path x/devGetMqttServer payload {}"},
                     {7, "https_path x/devGetMqttServer payload {}"},
                     {7, "change state machines to:0 from:1"},
                     {7, "attempt failed 2 times in a row, next in 30000 ms"},
                     {40, "change state machines to:3 from:2"},
                     {101, "change state machines to:2 from:3"},
                     {101, "attempt failed 3 times in a row, next in 12000 ms"}});
    EXPECT_EQ(kinds(fleet_tries(ev)), "LLBBC");
}

// The broker out of reach too long: back to the login. The first give-up
// since a session stood logs in at once; a later one is counted on the
// next tick like a refusal.
TEST(FleetTries, BrokerGivenUpFirstAtOnceThenAsASetback)
{
    const char *gave_up = "broker out of reach for 120 s. back to auth state!";
    auto ev = parse({{1, gave_up},
                     {1, "change state machines to:0 from:4"},
                     {2, "https_path x/devAuth payload {}"},
                     {2, "change state machines to:1 from:0"},
                     {3, "https_path x/devGetMqttServer payload {}"},
                     {3, "change state machines to:2 from:1"},
                     {4, "attempt failed 6 times in a row, next in 90000 ms"},
                     {124, gave_up},
                     {124, "change state machines to:0 from:2"},
                     {125, "attempt failed 7 times in a row, next in 278157 ms"},
                     {403, "https_path x/devAuth payload {}"}});
    auto tries = fleet_tries(ev);
    ASSERT_EQ(kinds(tries), "LBCL");
    EXPECT_EQ(tries[2].t, 4); // the refused connect after the fresh record
}

// A session that stood less than a minute leaves the agent's give-up
// count as it was: the next give-up is a setback, its failure no try.
TEST(FleetTries, GiveUpAfterABriefSessionIsASetback)
{
    const char *gave_up = "broker out of reach for 130 s. back to auth state!";
    auto ev = parse({{1, gave_up},
                     {1, "change state machines to:0 from:4"},
                     {2, "https_path x/devAuth payload {}"},
                     {3, "https_path x/devGetMqttServer payload {}"},
                     {4, "change state machines to:3 from:2"},
                     {5, "change state machines to:5 from:3"},
                     {20, "change state machines to:4 from:5"},
                     {20, "attempt failed 1 times in a row, next in 2000 ms"},
                     {150, gave_up},
                     {150, "change state machines to:0 from:4"},
                     {150, "attempt failed 2 times in a row, next in 9000 ms"},
                     {160, "https_path x/devAuth payload {}"}});
    EXPECT_EQ(kinds(fleet_tries(ev)), "LBCL");
}

TEST(FleetBunch, SlidingSecondCountsAgentsOnce)
{
    EXPECT_EQ(fleet_busiest_second({}).agents, 0);
    // Unsorted; agent 1 twice within a second; 2, 5 and 3 straddle a whole
    // second's boundary but 3 comes 1.05 s after 2.
    fleet_bunch b = fleet_busiest_second(
        {{10.0, 1}, {5.2, 4}, {10.5, 1}, {10.9, 2}, {11.95, 3}, {11.2, 5}, {20, 6}});
    EXPECT_EQ(b.agents, 3); // 1, 2 and 5 in 10.5 .. 11.2
    EXPECT_DOUBLE_EQ(b.from, 10.5);
    // Exactly a second apart is two seconds.
    EXPECT_EQ(fleet_busiest_second({{1.0, 1}, {2.0, 2}}).agents, 1);
}

TEST(FleetSettled, AllBackInTheStateAtOnce)
{
    std::vector<fleet_event> a = {state(1, 8, 5), state(10, 4, 8), state(20, 3, 4),
                                  state(21, 8, 5)};
    std::vector<fleet_event> b = {state(2, 8, 5), state(10, 4, 8), state(15, 8, 5),
                                  state(18, 4, 8), state(30, 8, 5)};
    std::vector<fleet_event> c = {state(3, 8, 5)}; // never left
    EXPECT_EQ(fleet_all_in({&a, &b}, 8, 0), 2);
    EXPECT_EQ(fleet_all_in({&a, &b}, 8, 5), 30); // b left again before a came back
    EXPECT_EQ(fleet_all_in({&a, &b, &c}, 8, 5), -1);
    EXPECT_EQ(fleet_all_in({&a}, 7, 0), -1);
    EXPECT_EQ(fleet_all_in({&a, &b, &c}, 8, 5, 1), 15); // the first of them back
    EXPECT_EQ(fleet_all_in({&a, &b, &c}, 8, 5, 2), 30);
}

TEST(FleetBroker, BusiestUnixSecondOfALogLine)
{
    std::string log = "100: New connection from 127.0.0.1:1 on port 9.\n"
                      "101: New connection from 127.0.0.1:2 on port 9.\n"
                      "101: New client connected from 127.0.0.1:2 as ZV-1 (p2).\n"
                      "101: New connection from 127.0.0.1:3 on port 9.\n"
                      "102: Sending CONNACK to ZV-1 (0, 0)\n"
                      "103: New connection from 127.0.0.1:4 on port 9.";
    broker_second c = broker_busiest_second(log, "New connection from");
    EXPECT_EQ(c.second, 101);
    EXPECT_EQ(c.count, 2);
    EXPECT_EQ(broker_busiest_second(log, "New client connected").count, 1);
    broker_second late = broker_busiest_second(log, "New connection from", 102);
    EXPECT_EQ(late.second, 103);
    EXPECT_EQ(late.count, 1);
    EXPECT_EQ(broker_busiest_second("", "New").count, 0);
}
