#include <gtest/gtest.h>

#include "bus_fixture.h"

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace bustest {

namespace {

void collect(ubus_request *req, int, blob_attr *msg)
{
    auto *r = static_cast<Reply *>(req->priv);
    char *s = msg ? blobmsg_format_json(msg, true) : nullptr;
    r->data.push_back(s ? s : "(null)");
    free(s);
}

} // namespace

void Daemon::start(const std::string &sock, const std::string &log)
{
    child = testsupport::Child({UBUSD_BIN, "-s", sock}, log);
    bool up = testsupport::wait_for(5000, [&] {
        ubus_context *c = ubus_connect(sock.c_str());
        if (c)
            ubus_free(c);
        return c != nullptr;
    });
    ASSERT_TRUE(up) << testsupport::read_file(log);
}

bool Daemon::stop_clean()
{
    int st = child.stop(SIGTERM, 5000);
    return st >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

void Peer::start(const std::string &sock, const std::string &log_path,
                 std::vector<std::string> args)
{
    log = log_path;
    args.insert(args.begin(), {PEER_BIN, "-s", sock});
    child = testsupport::Child(args, log);
    ASSERT_TRUE(wait_output("ready", 5000)) << output();
}

bool Peer::stop_clean()
{
    int st = child.stop(SIGTERM, 5000);
    return st >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

std::string Peer::output() const
{
    return testsupport::read_file(log);
}

bool Peer::wait_output(const std::string &text, int timeout_ms, size_t from) const
{
    return testsupport::wait_for(timeout_ms, [&] {
        std::string out = output();
        return out.size() > from && out.find(text, from) != std::string::npos;
    });
}

Ctx::Ctx(const std::string &sock) : ctx(ubus_connect(sock.c_str())) {}

Ctx::~Ctx()
{
    if (ctx)
        ubus_free(ctx);
}

double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void pump(int ms)
{
    double end = now() + ms / 1000.0;
    while (now() < end)
        uloop_run_timeout(10);
}

Reply call_id(ubus_context *ctx, uint32_t id, const std::string &method, const char *json,
              int timeout_ms)
{
    Reply r;
    blob_buf b{};
    blob_buf_init(&b, 0);
    if (json) {
        EXPECT_TRUE(blobmsg_add_json_from_string(&b, json)) << json;
    }
    double t0 = now();
    r.status = ubus_invoke(ctx, id, method.c_str(), json ? b.head : nullptr, collect, &r,
                           timeout_ms);
    r.seconds = now() - t0;
    blob_buf_free(&b);
    return r;
}

Reply call(ubus_context *ctx, const std::string &object, const std::string &method,
           const char *json, int timeout_ms)
{
    uint32_t id = 0;
    int ret = ubus_lookup_id(ctx, object.c_str(), &id);
    if (ret) {
        Reply r;
        r.status = ret;
        return r;
    }
    return call_id(ctx, id, method, json, timeout_ms);
}

Peer BusTest::peer(const std::string &name, std::vector<std::string> args)
{
    Peer p;
    args.insert(args.begin(), {"-o", name});
    p.start(sock, dir.file("peer-" + name + ".log"), args);
    return p;
}

testsupport::Result BusTest::ubus(std::vector<std::string> args, int timeout_ms)
{
    args.insert(args.begin(), {UBUS_BIN, "-s", sock});
    testsupport::RunOptions o;
    o.timeout_ms = timeout_ms;
    return testsupport::run(args, o);
}

} // namespace bustest
