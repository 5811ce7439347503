// Subscriptions in process: a subscriber of the host libubus watching a
// peer's object, its notifications with and without answers, leaving, and
// the watched object going away.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bus_fixture.h"

using namespace bustest;

namespace {

struct Watch {
    ubus_subscriber sub{};
    std::vector<std::string> got;
    std::vector<uint32_t> removed;
};

Watch *g_watch;

int on_note(ubus_context *, ubus_object *, ubus_request_data *, const char *method, blob_attr *msg)
{
    char *s = blobmsg_format_json(msg, true);
    g_watch->got.push_back(std::string(method) + " " + (s ? s : ""));
    free(s);
    return 0;
}

void on_remove(ubus_context *, ubus_subscriber *, uint32_t id)
{
    g_watch->removed.push_back(id);
}

using SubscribeTest = BusTest;

TEST_F(SubscribeTest, NotificationsReachASubscriberUntilItLeaves)
{
    Peer p = peer();
    Ctx c(sock);
    ubus_add_uloop(c.ctx);
    Watch w;
    g_watch = &w;
    w.sub.cb = on_note;
    w.sub.remove_cb = on_remove;
    ASSERT_EQ(ubus_register_subscriber(c.ctx, &w.sub), 0);
    uint32_t id = 0;
    ASSERT_EQ(ubus_lookup_id(c.ctx, "test", &id), 0);

    size_t from = p.output().size();
    ASSERT_EQ(ubus_subscribe(c.ctx, &w.sub, id), 0);
    EXPECT_TRUE(p.wait_output("subscribers 1", 3000, from)) << p.output();

    // The notifier waits for the answer, so the call runs beside the loop.
    for (const char *ms : {"1000", "-1"}) {
        std::string out = dir.file(std::string("notify") + ms);
        std::string arg = std::string(R"({"event":"note","tag":"a/b","ms":)") + ms + "}";
        testsupport::Child cli({UBUS_BIN, "-s", sock, "call", "test", "notify", arg}, out);
        int st = -1;
        for (int i = 0; i < 200 && st < 0; i++) {
            pump(20);
            st = cli.wait(0);
        }
        EXPECT_EQ(testsupport::read_file(out), "{\n\t\"notified\": 0\n}\n");
    }
    pump(50);
    EXPECT_EQ(w.got, (std::vector<std::string>{R"(note {"event":"note","tag":"a/b","ms":1000})",
                                               R"(note {"event":"note","tag":"a/b","ms":-1})"}));

    from = p.output().size();
    EXPECT_EQ(ubus_unsubscribe(c.ctx, &w.sub, id), 0);
    EXPECT_TRUE(p.wait_output("subscribers 0", 3000, from)) << p.output();
    EXPECT_EQ(ubus_unsubscribe(c.ctx, &w.sub, id), UBUS_STATUS_NOT_FOUND);
    EXPECT_EQ(ubus_subscribe(c.ctx, &w.sub, w.sub.obj.id), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(ubus_subscribe(c.ctx, &w.sub, 0x1234), UBUS_STATUS_NOT_FOUND);

    // The watched object goes: the subscriber is told which one.
    ASSERT_EQ(ubus_subscribe(c.ctx, &w.sub, id), 0);
    EXPECT_TRUE(p.stop_clean());
    for (int i = 0; i < 100 && w.removed.empty(); i++)
        pump(20);
    EXPECT_EQ(w.removed, std::vector<uint32_t>{id});
}

} // namespace
