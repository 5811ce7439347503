// Events to several subscribers, and clients living through a restart of
// the daemon.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "bus_fixture.h"

using namespace bustest;

namespace {

int g_count;
std::string g_last;

void count_event(ubus_context *, ubus_event_handler *, const char *type, blob_attr *msg)
{
    char *s = blobmsg_format_json(msg, true);
    g_last = std::string(type) + " " + (s ? s : "");
    free(s);
    g_count++;
}

int send(ubus_context *ctx, const char *id, const char *json)
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    EXPECT_TRUE(blobmsg_add_json_from_string(&b, json));
    int ret = ubus_send_event(ctx, id, b.head);
    blob_buf_free(&b);
    return ret;
}

// Sends probe events until the listener in out shows one: it has
// registered. Returns the size of its output by then.
size_t wait_listening(ubus_context *ctx, const std::string &out, const char *probe)
{
    bool seen = testsupport::wait_for(5000, [&] {
        send(ctx, probe, "{}");
        usleep(20000);
        return testsupport::read_file(out).find(probe) != std::string::npos;
    });
    EXPECT_TRUE(seen) << out;
    usleep(50000);
    return testsupport::read_file(out).size();
}

bool g_lost;
void on_lost(ubus_context *)
{
    g_lost = true;
}

int echo(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    return ubus_send_reply(ctx, req, msg);
}

} // namespace

using EventTest = BusTest;

TEST_F(EventTest, EventsReachEveryMatchingSubscriberOnce)
{
    Ctx s(sock);
    ASSERT_TRUE(s.ctx);
    ubus_add_uloop(s.ctx);

    std::string out1 = dir.file("listen.out");
    testsupport::Child listen1({UBUS_BIN, "-s", sock, "listen", "app.*", "Notify"}, out1);
    Peer sub2 = peer("sub2", {"-e", "APP_AUTH", "-e", "app.x*"});
    size_t from1 = wait_listening(s.ctx, out1, "app.probe");
    size_t from2 = sub2.output().size();

    // The sender listens to everything but never hears itself.
    ubus_event_handler own{};
    own.cb = count_event;
    ASSERT_EQ(ubus_register_event_handler(s.ctx, &own, "*"), 0);
    g_count = 0;

    EXPECT_EQ(send(s.ctx, "APP_AUTH", R"({"method":"bind"})"), 0);
    EXPECT_EQ(send(s.ctx, "app.x1", R"({"n":1})"), 0);
    EXPECT_EQ(send(s.ctx, "apple", "{}"), 0);
    EXPECT_EQ(send(s.ctx, "app", "{}"), 0);
    EXPECT_EQ(send(s.ctx, "Notify", R"({"method":"mqtt","url":"a/b"})"), 0);
    EXPECT_EQ(send(s.ctx, "notify", "{}"), 0);
    EXPECT_EQ(send(s.ctx, "APP_AUTH", R"({"last":true})"), 0);
    // The daemon's own events cannot be forged.
    EXPECT_EQ(send(s.ctx, "ubus.object.add", "{}"), UBUS_STATUS_PERMISSION_DENIED);

    ASSERT_TRUE(sub2.wait_output("last", 3000, from2)) << sub2.output();
    EXPECT_EQ(sub2.output().substr(from2),
              "event APP_AUTH {\"method\":\"bind\"}\n"
              "event app.x1 {\"n\":1}\n"
              "event APP_AUTH {\"last\":true}\n");
    ASSERT_TRUE(testsupport::wait_for(3000, [&] {
        return testsupport::read_file(out1).find("mqtt") != std::string::npos;
    }));
    usleep(100000);
    EXPECT_EQ(testsupport::read_file(out1).substr(from1),
              "{ \"app.x1\": {\"n\":1} }\n"
              "{ \"Notify\": {\"method\":\"mqtt\",\"url\":\"a/b\"} }\n");
    pump(100);
    EXPECT_EQ(g_count, 0);

    // Another client's event does reach it, through the loop.
    Ctx other(sock);
    EXPECT_EQ(send(other.ctx, "from.other", R"({"k":"v"})"), 0);
    pump(100);
    EXPECT_EQ(g_count, 1);
    EXPECT_EQ(g_last, R"(from.other {"k":"v"})");

    // Unregistered: no more.
    ASSERT_EQ(ubus_unregister_event_handler(s.ctx, &own), 0);
    EXPECT_EQ(send(other.ctx, "from.other", "{}"), 0);
    pump(100);
    EXPECT_EQ(g_count, 1);
    EXPECT_TRUE(sub2.stop_clean()) << sub2.output();
}

TEST_F(EventTest, PatternsAreChecked)
{
    Ctx c(sock);
    ubus_event_handler ev{};
    ev.cb = count_event;
    EXPECT_EQ(ubus_register_event_handler(c.ctx, &ev, ""), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ubus_register_event_handler(c.ctx, &ev, nullptr), UBUS_STATUS_INVALID_ARGUMENT);
    // A handler whose patterns match an event several times gets it once.
    EXPECT_EQ(ubus_register_event_handler(c.ctx, &ev, "twice"), 0);
    EXPECT_EQ(ubus_register_event_handler(c.ctx, &ev, "twice"), 0);
    EXPECT_EQ(ubus_register_event_handler(c.ctx, &ev, "tw*"), 0);
    ubus_add_uloop(c.ctx);
    Ctx other(sock);
    g_count = 0;
    EXPECT_EQ(send(other.ctx, "twice", "{}"), 0);
    EXPECT_EQ(ubus_send_event(other.ctx, "twice", nullptr), 0);
    pump(100);
    EXPECT_EQ(g_count, 2);
    EXPECT_EQ(g_last, "twice {}");

    // A handler may only register its own connection's objects.
    blob_buf b{};
    blob_buf_init(&b, 0);
    blobmsg_add_u32(&b, "object", ev.obj.id);
    blobmsg_add_string(&b, "pattern", "stolen");
    EXPECT_EQ(ubus_invoke(other.ctx, UBUS_SYSTEM_OBJECT_EVENT, "register", b.head, nullptr,
                          nullptr, 1000),
              UBUS_STATUS_PERMISSION_DENIED);
    blob_buf_free(&b);
}

TEST_F(EventTest, ClientsReconnectAfterTheDaemonRestarts)
{
    Ctx a(sock);
    ASSERT_TRUE(a.ctx);
    ubus_add_uloop(a.ctx);
    a.ctx->connection_lost = on_lost;

    static const ubus_method methods[] = {{"echo", echo, 0, 0, nullptr, 0}};
    static ubus_object_type type = {"restart", 0, methods, 1};
    ubus_object obj{};
    obj.name = "restart";
    obj.type = &type;
    obj.methods = methods;
    obj.n_methods = 1;
    ASSERT_EQ(ubus_add_object(a.ctx, &obj), 0);
    ubus_event_handler ev{};
    ev.cb = count_event;
    ASSERT_EQ(ubus_register_event_handler(a.ctx, &ev, "again"), 0);
    uint32_t old_obj = obj.id, old_ev = ev.obj.id, old_local = a.ctx->local_id;

    // The peer reconnects on its own, every 100 ms, as the agent does.
    Peer p = peer("test", {"-r", "-e", "Notify"});

    g_lost = false;
    ASSERT_TRUE(daemon.stop_clean());
    testsupport::wait_for(3000, [] {
        uloop_run_timeout(10);
        return g_lost;
    });
    EXPECT_TRUE(g_lost);
    EXPECT_EQ(ubus_reconnect(a.ctx, sock.c_str()), UBUS_STATUS_CONNECTION_FAILED);
    EXPECT_TRUE(p.wait_output("lost"));
    // Calls fail at once while the bus is down.
    uint32_t id;
    EXPECT_EQ(ubus_lookup_id(a.ctx, "restart", &id), UBUS_STATUS_CONNECTION_FAILED);

    daemon.start(sock, dir.file("ubusd2.log"));
    ASSERT_EQ(ubus_reconnect(a.ctx, sock.c_str()), UBUS_STATUS_OK);
    ubus_add_uloop(a.ctx);
    EXPECT_NE(obj.id, 0u);
    EXPECT_NE(obj.id, old_obj);
    EXPECT_NE(ev.obj.id, 0u);
    EXPECT_NE(ev.obj.id, old_ev);
    EXPECT_NE(a.ctx->local_id, old_local);

    // Its object answers again, under its new id.
    std::string out = dir.file("call.out");
    testsupport::Child cli({UBUS_BIN, "-s", sock, "call", "restart", "echo", R"({"x":1})"}, out);
    testsupport::wait_for(5000, [&] {
        uloop_run_timeout(10);
        return !cli.running();
    });
    EXPECT_EQ(testsupport::read_file(out), "{\n\t\"x\": 1\n}\n");

    // The library does not restore event patterns: the caller registers
    // them again.
    Ctx s(sock);
    g_count = 0;
    EXPECT_EQ(send(s.ctx, "again", "{}"), 0);
    pump(100);
    EXPECT_EQ(g_count, 0);
    ASSERT_EQ(ubus_register_event_handler(a.ctx, &ev, "again"), 0);
    EXPECT_EQ(send(s.ctx, "again", R"({"n":2})"), 0);
    pump(100);
    EXPECT_EQ(g_count, 1);

    // The peer is back too, with its object and its pattern.
    ASSERT_TRUE(p.wait_output("reconnected")) << p.output();
    Reply r = call(s.ctx, "test", "echo", R"({"back":true})");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.data, std::vector<std::string>{R"({"back":true})"});
    EXPECT_EQ(send(s.ctx, "Notify", R"({"method":"x"})"), 0);
    EXPECT_TRUE(p.wait_output("event Notify {\"method\":\"x\"}")) << p.output();

    EXPECT_TRUE(p.stop_clean()) << p.output();
}

TEST_F(EventTest, ACallInFlightFailsWhenTheDaemonDies)
{
    Peer callee = peer();
    Ctx a(sock);
    ubus_add_uloop(a.ctx);
    a.ctx->connection_lost = on_lost;
    g_lost = false;

    std::string kill_cmd = "sleep 0.3; kill -9 " + std::to_string(daemon.child.pid());
    testsupport::Child killer({"sh", "-c", kill_cmd}, dir.file("killer.log"));
    Reply r = call(a.ctx, "test", "hang", nullptr, 5000);
    EXPECT_EQ(r.status, UBUS_STATUS_CONNECTION_FAILED);
    EXPECT_LT(r.seconds, 2.0);
    EXPECT_TRUE(g_lost);
    killer.wait(3000);

    // Without a daemon every request fails at once rather than hanging.
    double t0 = now();
    uint32_t id;
    EXPECT_EQ(ubus_lookup_id(a.ctx, "test", &id), UBUS_STATUS_CONNECTION_FAILED);
    EXPECT_EQ(ubus_reconnect(a.ctx, nullptr), UBUS_STATUS_CONNECTION_FAILED);
    EXPECT_EQ(ubus_send_event(a.ctx, "x", nullptr), UBUS_STATUS_CONNECTION_FAILED);
    EXPECT_LT(now() - t0, 1.0);
}

namespace {

int g_connected;
void on_connect(ubus_context *)
{
    g_connected++;
}

} // namespace

TEST_F(EventTest, AutoConnectComesBackByItself)
{
    ubus_auto_conn conn{};
    conn.path = sock.c_str();
    conn.cb = on_connect;
    g_connected = 0;
    ubus_auto_connect(&conn);
    ASSERT_EQ(g_connected, 1);
    uint32_t first = conn.ctx.local_id;

    ASSERT_TRUE(daemon.stop_clean());
    daemon.start(sock, dir.file("ubusd2.log"));
    // It retries every second until the new daemon greets it.
    EXPECT_TRUE(testsupport::wait_for(4000, [&] {
        uloop_run_timeout(20);
        return conn.ctx.local_id != first && conn.ctx.sock.registered;
    }));
    uint32_t id;
    EXPECT_EQ(ubus_lookup_id(&conn.ctx, "none", &id), UBUS_STATUS_NOT_FOUND);
    ubus_auto_shutdown(&conn);
}
