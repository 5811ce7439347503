// Calls across processes: the daemon, a callee (ubus_peer) and this test
// as the caller, through the host libubus.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <string>
#include <vector>

#include "bus_fixture.h"

using namespace bustest;

using CallTest = BusTest;

TEST_F(CallTest, RepliesReachTheCallerWithItsPrivatePointer)
{
    Peer callee = peer();
    Ctx c(sock);
    ASSERT_TRUE(c.ctx);

    uint32_t id = 0;
    ASSERT_EQ(ubus_lookup_id(c.ctx, "test", &id), UBUS_STATUS_OK);
    EXPECT_GE(id, static_cast<uint32_t>(UBUS_SYSTEM_OBJECT_MAX));
    EXPECT_NE(c.ctx->local_id, 0u);

    // Written back as the router's libubox writes JSON: '/' as it is.
    const char *json = R"({"s":"a\"b\\c/d","n":-5,"big":5000000000,"b":true,)"
                       R"("d":1.500000,"a":[1,"x",{"k":[]}],"t":{"u":{}}})";
    Reply r = call_id(c.ctx, id, "echo", json);
    EXPECT_EQ(r.status, UBUS_STATUS_OK);
    ASSERT_EQ(r.data.size(), 1u);
    EXPECT_EQ(r.data[0], json);

    // No message at all reaches the method as an empty table.
    r = call_id(c.ctx, id, "echo", nullptr);
    EXPECT_EQ(r.status, UBUS_STATUS_OK);
    EXPECT_EQ(r.data, std::vector<std::string>{"{}"});

    // Several replies to one call arrive in order, then the status.
    r = call_id(c.ctx, id, "multi", R"({"n":3})");
    EXPECT_EQ(r.status, UBUS_STATUS_OK);
    EXPECT_EQ(r.data, (std::vector<std::string>{R"({"part":0})", R"({"part":1})", R"({"part":2})"}));

    // A method's own status comes back as the call's.
    r = call_id(c.ctx, id, "fail", R"({"status":6})");
    EXPECT_EQ(r.status, UBUS_STATUS_PERMISSION_DENIED);
    EXPECT_TRUE(r.data.empty());

    // A call without a data handler still completes.
    EXPECT_EQ(ubus_invoke(c.ctx, id, "echo", nullptr, nullptr, nullptr, 3000), UBUS_STATUS_OK);
    EXPECT_TRUE(callee.stop_clean()) << callee.output();
}

TEST_F(CallTest, MissingObjectsAndMethodsHaveTheirStatus)
{
    Peer callee = peer();
    Ctx c(sock);

    uint32_t id = 12345;
    EXPECT_EQ(ubus_lookup_id(c.ctx, "nothing", &id), UBUS_STATUS_NOT_FOUND);
    EXPECT_EQ(id, 12345u);
    EXPECT_EQ(ubus_lookup_id(c.ctx, "tes", &id), UBUS_STATUS_NOT_FOUND);

    Reply r = call(c.ctx, "test", "no_such_method", "{}");
    EXPECT_EQ(r.status, UBUS_STATUS_METHOD_NOT_FOUND);
    EXPECT_TRUE(r.data.empty());

    ASSERT_EQ(ubus_lookup_id(c.ctx, "test", &id), 0);
    r = call_id(c.ctx, id ^ 0x5a5a5a5a, "echo", "{}");
    EXPECT_EQ(r.status, UBUS_STATUS_NOT_FOUND);
    r = call_id(c.ctx, 7, "echo", "{}");  // a system id that is nobody's
    EXPECT_EQ(r.status, UBUS_STATUS_NOT_FOUND);
    EXPECT_LT(r.seconds, 1.0);

    // The connection is still good.
    EXPECT_EQ(call_id(c.ctx, id, "echo", "{}").status, UBUS_STATUS_OK);
}

TEST_F(CallTest, ASilentCalleeTimesOutAtTheLimit)
{
    Peer callee = peer();
    Ctx c(sock);

    Reply r = call(c.ctx, "test", "hang", nullptr, 300);
    EXPECT_EQ(r.status, UBUS_STATUS_TIMEOUT);
    EXPECT_GE(r.seconds, 0.29);
    EXPECT_LT(r.seconds, 1.5);

    // Slower than the limit: the late reply is dropped, and the next call
    // gets its own reply, not the stale one.
    r = call(c.ctx, "test", "sleep", R"({"ms":600,"tag":"late"})", 200);
    EXPECT_EQ(r.status, UBUS_STATUS_TIMEOUT);
    EXPECT_TRUE(r.data.empty());
    EXPECT_LT(r.seconds, 0.5);
    r = call(c.ctx, "test", "echo", R"({"tag":"now"})", 3000);
    EXPECT_EQ(r.status, UBUS_STATUS_OK);
    EXPECT_EQ(r.data, std::vector<std::string>{R"({"tag":"now"})"});
    EXPECT_GT(r.seconds, 0.2);  // it waited behind the sleeping callee
}

TEST_F(CallTest, DeferredRepliesComeBackInTheirOwnTime)
{
    Peer callee = peer();
    Ctx c(sock);

    Reply r = call(c.ctx, "test", "defer", R"({"ms":150,"tag":"one"})");
    EXPECT_EQ(r.status, UBUS_STATUS_OK);
    EXPECT_EQ(r.data, std::vector<std::string>{R"({"deferred":150,"tag":"one"})"});
    EXPECT_GE(r.seconds, 0.14);

    // A slow deferred call by another process does not hold up a quick one.
    std::string out = dir.file("slow.out");
    testsupport::Child slow({UBUS_BIN, "-s", sock, "call", "test", "defer",
                             R"({"ms":700,"tag":"slow"})"},
                            out);
    usleep(100000);
    r = call(c.ctx, "test", "defer", R"({"ms":50,"tag":"fast"})");
    EXPECT_EQ(r.status, UBUS_STATUS_OK);
    EXPECT_EQ(r.data, std::vector<std::string>{R"({"deferred":50,"tag":"fast"})"});
    EXPECT_LT(r.seconds, 0.5);
    int st = slow.wait(5000);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_NE(testsupport::read_file(out).find(R"("tag": "slow")"), std::string::npos);
    EXPECT_TRUE(callee.stop_clean()) << callee.output();
}

TEST_F(CallTest, ManyCallersAtOnceEachGetTheirOwnReplies)
{
    Peer callee = peer();
    std::vector<testsupport::Child> callers;
    for (int i = 0; i < 6; i++)
        callers.emplace_back(std::vector<std::string>{PEER_BIN, "-s", sock, "-o", "test", "-c", "300"},
                             dir.file("caller" + std::to_string(i) + ".log"));
    Ctx c(sock);
    for (int i = 0; i < 50; i++) {
        std::string json = R"({"me":)" + std::to_string(i) + "}";
        Reply r = call(c.ctx, "test", "echo", json.c_str());
        ASSERT_EQ(r.status, 0);
        ASSERT_EQ(r.data, std::vector<std::string>{json});
    }
    for (size_t i = 0; i < callers.size(); i++) {
        int st = callers[i].wait(30000);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0)
            << testsupport::read_file(dir.file("caller" + std::to_string(i) + ".log"));
    }
}

// As on the router: the daemon tells the caller nothing, the call runs
// into its own timeout.
TEST_F(CallTest, ACalleeThatVanishesMidCallLeavesTheCallToItsTimeout)
{
    Peer callee = peer();
    Ctx c(sock);

    Reply r = call(c.ctx, "test", "exit", nullptr, 500);
    EXPECT_EQ(r.status, UBUS_STATUS_TIMEOUT);
    EXPECT_GE(r.seconds, 0.4);
    int st = callee.child.wait(3000);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 3);

    // Its object went with it.
    uint32_t id;
    EXPECT_EQ(ubus_lookup_id(c.ctx, "test", &id), UBUS_STATUS_NOT_FOUND);
    EXPECT_TRUE(daemon.stop_clean());
}

TEST_F(CallTest, MessagesAreBoundAtOneMebibyte)
{
    Peer callee = peer();
    Ctx c(sock);

    std::string near(900 * 1024, 'n');
    std::string json = R"({"s":")" + near + R"("})";
    Reply r = call(c.ctx, "test", "echo", json.c_str());
    EXPECT_EQ(r.status, UBUS_STATUS_OK);
    ASSERT_EQ(r.data.size(), 1u);
    EXPECT_EQ(r.data[0], json);

    // Too big to send: refused here, and the connection lives on.
    std::string over(UBUS_MAX_MSGLEN + 16, 'o');
    json = R"({"s":")" + over + R"("})";
    r = call(c.ctx, "test", "echo", json.c_str());
    EXPECT_EQ(r.status, UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(r.data.empty());

    // Too big a reply: the callee cannot send it and says so.
    r = call(c.ctx, "test", "big", R"({"size":1100000})");
    EXPECT_EQ(r.status, UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(r.data.empty());
    r = call(c.ctx, "test", "big", R"({"size":1000000})");
    EXPECT_EQ(r.status, UBUS_STATUS_OK);
    ASSERT_EQ(r.data.size(), 1u);
    EXPECT_EQ(r.data[0].size(), 1000000u + 10);

    EXPECT_EQ(call(c.ctx, "test", "echo", "{}").status, UBUS_STATUS_OK);
    EXPECT_TRUE(callee.stop_clean()) << callee.output();
}

namespace {

int g_events;
void count_event(ubus_context *, ubus_event_handler *, const char *, blob_attr *)
{
    g_events++;
}

bool g_timer_fired;
void timer_cb(uloop_timeout *)
{
    g_timer_fired = true;
}

} // namespace

// The call blocks as the router's does: it serves only the bus socket, and
// holds back incoming events until the loop runs again.
TEST_F(CallTest, ASynchronousCallRunsNothingElseOfTheLoop)
{
    Peer callee = peer();
    Ctx c(sock);
    ubus_add_uloop(c.ctx);
    ubus_event_handler ev{};
    ev.cb = count_event;
    ASSERT_EQ(ubus_register_event_handler(c.ctx, &ev, "emitted"), 0);

    g_events = 0;
    g_timer_fired = false;
    uloop_timeout t{};
    t.cb = timer_cb;
    uloop_timeout_set(&t, 0);

    // The callee sends "emitted" while this call waits for its reply.
    Reply r = call(c.ctx, "test", "emit", R"({"ms":200})");
    EXPECT_EQ(r.status, UBUS_STATUS_OK);
    EXPECT_GE(r.seconds, 0.19);
    EXPECT_EQ(g_events, 0);
    EXPECT_FALSE(g_timer_fired);

    pump(100);
    EXPECT_EQ(g_events, 1);
    EXPECT_TRUE(g_timer_fired);
    uloop_timeout_cancel(&t);
}

TEST_F(CallTest, ObjectsComeAndGo)
{
    Ctx c(sock);
    static const ubus_method methods[] = {{"m", nullptr, 0, 0, nullptr, 0}};
    static ubus_object_type type = {"t", 0, methods, 1};
    ubus_object a{}, b{};
    a.name = "obj.a";
    a.type = &type;
    a.methods = methods;
    a.n_methods = 1;
    b = a;
    b.name = "obj.b";

    ASSERT_EQ(ubus_add_object(c.ctx, &a), 0);
    ASSERT_EQ(ubus_add_object(c.ctx, &b), 0);
    EXPECT_NE(a.id, b.id);
    EXPECT_NE(type.id, 0u);
    EXPECT_EQ(ubus_add_object(c.ctx, &a), UBUS_STATUS_INVALID_ARGUMENT);

    // A second client cannot take a name that is in use.
    Ctx other(sock);
    ubus_object clash = a;
    clash.id = 0;
    EXPECT_EQ(ubus_add_object(other.ctx, &clash), UBUS_STATUS_INVALID_ARGUMENT);

    auto r = ubus({"list", "obj.*"});
    EXPECT_EQ(r.out, "obj.a\nobj.b\n");

    ASSERT_EQ(ubus_remove_object(c.ctx, &a), 0);
    EXPECT_EQ(a.id, 0u);
    EXPECT_NE(type.id, 0u);  // b still has it
    uint32_t id;
    EXPECT_EQ(ubus_lookup_id(other.ctx, "obj.a", &id), UBUS_STATUS_NOT_FOUND);
    EXPECT_EQ(ubus_lookup_id(other.ctx, "obj.b", &id), 0);
    EXPECT_EQ(id, b.id);

    // Another client cannot remove it.
    ubus_object fake = b;
    EXPECT_EQ(ubus_remove_object(other.ctx, &fake), UBUS_STATUS_PERMISSION_DENIED);
    ASSERT_EQ(ubus_remove_object(c.ctx, &b), 0);
    EXPECT_EQ(type.id, 0u);  // the last object took the type with it
    EXPECT_EQ(ubus_lookup_id(other.ctx, "obj.b", &id), UBUS_STATUS_NOT_FOUND);
}
