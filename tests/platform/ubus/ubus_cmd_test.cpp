// The ubus command, run as a program against a private daemon.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <string>

#include "bus_fixture.h"

using namespace bustest;

using CommandTest = BusTest;

TEST_F(CommandTest, ListShowsObjectsAndTheirSignatures)
{
    Peer a = peer("test");
    Peer b = peer("other.thing");
    auto r = ubus({"list"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "other.thing\ntest\n");
    r = ubus({"list", "other.*"});
    EXPECT_EQ(r.out, "other.thing\n");
    r = ubus({"list", "nothing*"});
    EXPECT_EQ(r.code, UBUS_STATUS_NOT_FOUND);
    EXPECT_EQ(r.err, "Command failed: Not found\n");

    r = ubus({"-v", "list", "test"});
    EXPECT_EQ(r.code, 0);
    uint32_t id = 0;
    ASSERT_EQ(sscanf(r.out.c_str(), "'test' @%8x\n", &id), 1);
    EXPECT_NE(r.out.find("\t\"echo\":{}\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\t\"defer\":{\"ms\":\"Integer\",\"tag\":\"String\",\"status\":\"Integer\","
                         "\"size\":\"Integer\",\"n\":\"Integer\",\"event\":\"String\"}\n"),
              std::string::npos)
        << r.out;
    Ctx c(sock);
    uint32_t looked = 0;
    ASSERT_EQ(ubus_lookup_id(c.ctx, "test", &looked), 0);
    EXPECT_EQ(id, looked);
}

TEST_F(CommandTest, CallPrintsTheReplyIndentedWithTabs)
{
    Peer callee = peer();
    auto r = ubus({"call", "test", "echo", R"({"a":1,"b":{"c":"d","e":[true,2.5]}})"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "{\n\t\"a\": 1,\n\t\"b\": {\n\t\t\"c\": \"d\",\n\t\t\"e\": [\n"
                     "\t\t\ttrue,\n\t\t\t2.500000\n\t\t]\n\t}\n}\n");
    EXPECT_EQ(r.err, "");

    r = ubus({"-S", "call", "test", "echo", R"({"a":1})"});
    EXPECT_EQ(r.out, "{\"a\":1}\n");
    // No arguments: an empty message.
    r = ubus({"call", "test", "echo"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "{\n\t\n}\n");
    // No reply data: nothing printed.
    r = ubus({"call", "test", "multi", R"({"n":0})"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
}

TEST_F(CommandTest, FailuresHaveTheRouterCommandsMessagesAndStatuses)
{
    Peer callee = peer();
    auto r = ubus({"call", "nothing", "echo"});
    EXPECT_EQ(r.code, UBUS_STATUS_NOT_FOUND);
    EXPECT_EQ(r.err, "Command failed: Not found\n");
    r = ubus({"call", "test", "nope"});
    EXPECT_EQ(r.code, UBUS_STATUS_METHOD_NOT_FOUND);
    EXPECT_EQ(r.err, "Command failed: Method not found\n");
    r = ubus({"call", "test", "fail", R"({"status":9})"});
    EXPECT_EQ(r.code, UBUS_STATUS_UNKNOWN_ERROR);
    EXPECT_EQ(r.err, "Command failed: Unknown error\n");

    for (const char *bad : {"{bad", "[1,2]", "\"text\""}) {
        r = ubus({"call", "test", "echo", bad});
        EXPECT_EQ(r.code, 255) << bad;
        EXPECT_EQ(r.err, "Failed to parse message data\n");
        r = ubus({"send", "ev", bad});
        EXPECT_EQ(r.code, 255) << bad;
    }
    r = ubus({"-S", "call", "test", "echo", "{bad"});
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.err, "");

    double t0 = now();
    r = ubus({"-t", "1", "call", "test", "hang"});
    EXPECT_EQ(r.code, UBUS_STATUS_TIMEOUT);
    EXPECT_EQ(r.err, "Command failed: Request timed out\n");
    EXPECT_GE(now() - t0, 0.9);
    EXPECT_LT(now() - t0, 3.0);

    r = testsupport::run({UBUS_BIN, "-s", dir.file("absent.sock"), "list"});
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.err, "Failed to connect to ubus\n");

    r = testsupport::run({UBUS_BIN});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Usage:"), std::string::npos);
    r = ubus({"bogus"});
    EXPECT_EQ(r.code, 254);
    EXPECT_NE(r.err.find("Usage:"), std::string::npos);
    r = ubus({"call", "test"});
    EXPECT_EQ(r.code, 254);
}

TEST_F(CommandTest, SendAndListen)
{
    std::string out = dir.file("listen.out");
    testsupport::Child listen({UBUS_BIN, "-s", sock, "listen", "APP_AUTH", "Notify"}, out);
    ASSERT_TRUE(testsupport::wait_for(5000, [&] {
        ubus({"send", "APP_AUTH", R"({"probe":1})"});
        return testsupport::read_file(out).find("probe") != std::string::npos;
    }));
    usleep(100000);
    size_t from = testsupport::read_file(out).size();

    auto r = ubus({"send", "Notify", R"({"method":"mqtt","n":[1,2]})"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(ubus({"send", "other", "{}"}).code, 0);
    EXPECT_EQ(ubus({"send", "APP_AUTH"}).code, 0);
    ASSERT_TRUE(testsupport::wait_for(3000, [&] {
        return testsupport::read_file(out).size() > from + 40;
    }));
    usleep(100000);
    EXPECT_EQ(testsupport::read_file(out).substr(from),
              "{ \"Notify\": {\"method\":\"mqtt\",\"n\":[1,2]} }\n"
              "{ \"APP_AUTH\": {} }\n");

    r = ubus({"send", "ubus.object.add", "{}"});
    EXPECT_EQ(r.code, UBUS_STATUS_PERMISSION_DENIED);
    EXPECT_EQ(r.err, "Command failed: Permission denied\n");

    int st = listen.stop();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

TEST_F(CommandTest, WaitForReturnsOnceTheObjectsAppear)
{
    Peer present = peer("present");
    auto r = ubus({"wait_for", "present"});
    EXPECT_EQ(r.code, 0);

    testsupport::Child wait({UBUS_BIN, "-s", sock, "-t", "10", "wait_for", "present", "late"},
                            dir.file("wait.out"));
    usleep(200000);
    EXPECT_TRUE(wait.running());
    Peer late = peer("late");
    int st = wait.wait(3000);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);

    r = ubus({"-t", "1", "wait_for", "never"});
    EXPECT_EQ(r.code, UBUS_STATUS_TIMEOUT);
}
