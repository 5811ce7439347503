// The daemon against hostile or broken clients, and its command line.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bus_fixture.h"

using namespace bustest;

namespace {

// A client speaking raw bytes.
struct Raw {
    int fd = -1;
    uint32_t id = 0;
    explicit Raw(const std::string &path, bool hello = true)
    {
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        memcpy(sun.sun_path, path.c_str(), path.size() + 1);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) < 0) {
            close(fd);
            fd = -1;
            return;
        }
        ubus_msghdr hdr;
        blob_attr attr;
        if (hello && read_all(&hdr, sizeof(hdr)) && read_all(&attr, sizeof(attr)))
            id = ntohl(hdr.peer);
    }
    ~Raw()
    {
        if (fd >= 0)
            close(fd);
    }
    bool read_all(void *p, size_t len, int timeout_ms = 3000)
    {
        auto *c = static_cast<char *>(p);
        while (len) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, timeout_ms) <= 0)
                return false;
            ssize_t n = read(fd, c, len);
            if (n <= 0)
                return false;
            c += n;
            len -= static_cast<size_t>(n);
        }
        return true;
    }
    void write_bytes(const std::string &s)
    {
        ASSERT_EQ(send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
    }
    void send_msg(int type, uint16_t seq, uint32_t peer, blob_attr *msg)
    {
        // seq and peer in network byte order, as on the router
        ubus_msghdr hdr{0, static_cast<uint8_t>(type), htons(seq), htonl(peer)};
        std::string s(reinterpret_cast<char *>(&hdr), sizeof(hdr));
        s.append(reinterpret_cast<char *>(msg), blob_raw_len(msg));
        write_bytes(s);
    }
    // The next message: its header and attributes.
    bool next(ubus_msghdr &hdr, std::vector<char> &body)
    {
        blob_attr attr;
        if (!read_all(&hdr, sizeof(hdr)) || !read_all(&attr, sizeof(attr)))
            return false;
        hdr.seq = ntohs(hdr.seq);
        hdr.peer = ntohl(hdr.peer);
        body.resize(blob_raw_len(&attr));
        memcpy(body.data(), &attr, sizeof(attr));
        return read_all(body.data() + sizeof(attr), body.size() - sizeof(attr));
    }
    // The daemon has closed the connection.
    bool dropped(int timeout_ms = 2000)
    {
        return testsupport::wait_for(timeout_ms, [&] {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 0) <= 0)
                return false;
            char buf[4096];
            ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
            return n == 0 || (n < 0 && errno != EAGAIN);
        });
    }
};

std::string head(uint8_t version, uint8_t type, uint32_t raw_len)
{
    ubus_msghdr hdr{version, type, htons(1), 0};
    blob_attr attr;
    blob_set_raw_len(&attr, raw_len);
    return std::string(reinterpret_cast<char *>(&hdr), sizeof(hdr)) +
           std::string(reinterpret_cast<char *>(&attr), sizeof(attr));
}

// An invoke of method on id whose DATA holds payload as given.
void invoke_raw(Raw &r, uint16_t seq, uint32_t id, const char *method, const std::string &payload)
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, id);
    blob_put_string(&b, UBUS_ATTR_METHOD, method);
    blob_put(&b, UBUS_ATTR_DATA, payload.data(), static_cast<unsigned int>(payload.size()));
    r.send_msg(UBUS_MSG_INVOKE, seq, id, b.head);
    blob_buf_free(&b);
}

// The status the daemon answered seq with, or -1; fails on anything else first.
int status_of(Raw &r, uint16_t seq)
{
    ubus_msghdr hdr;
    std::vector<char> body;
    if (!r.next(hdr, body))
        return -1;
    EXPECT_EQ(hdr.type, UBUS_MSG_STATUS);
    EXPECT_EQ(hdr.seq, seq);
    blob_attr *tb[UBUS_ATTR_MAX];
    blob_parse(reinterpret_cast<blob_attr *>(body.data()), tb, nullptr, UBUS_ATTR_MAX);
    return hdr.type == UBUS_MSG_STATUS && tb[UBUS_ATTR_STATUS]
               ? static_cast<int>(blob_get_u32(tb[UBUS_ATTR_STATUS]))
               : -1;
}

std::string blobmsg_bytes(void (*fill)(blob_buf &))
{
    blob_buf b{};
    blob_buf_init(&b, 0);
    fill(b);
    std::string s(static_cast<char *>(blob_data(b.head)), blob_len(b.head));
    blob_buf_free(&b);
    return s;
}

} // namespace

using DaemonTest = BusTest;

TEST_F(DaemonTest, BrokenFramesDropOnlyTheirSender)
{
    Peer callee = peer();
    Ctx good(sock);
    ASSERT_TRUE(good.ctx);

    Raw garbage(sock), version(sock), oversized(sock), tiny(sock), partial(sock);
    std::string junk;
    for (int i = 0; i < 4096; i++)
        junk += static_cast<char>(i * 37 + 11);
    garbage.write_bytes(junk);
    version.write_bytes(head(1, UBUS_MSG_LOOKUP, 4));
    // Refused on its header alone, before any of its 2 MiB arrives.
    oversized.write_bytes(head(0, UBUS_MSG_INVOKE, 2 * UBUS_MAX_MSGLEN));
    tiny.write_bytes(head(0, UBUS_MSG_LOOKUP, 2));
    partial.write_bytes(head(0, UBUS_MSG_LOOKUP, 100) + std::string(50, '\0'));

    EXPECT_TRUE(garbage.dropped());
    EXPECT_TRUE(version.dropped());
    EXPECT_TRUE(oversized.dropped());
    EXPECT_TRUE(tiny.dropped());
    // Half a message waits for the rest without holding anyone up.
    EXPECT_FALSE(partial.dropped(200));
    Reply r = call(good.ctx, "test", "echo", R"({"still":"here"})");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.data, std::vector<std::string>{R"({"still":"here"})"});

    // Gone mid-message, and gone mid-call: the callee's late answer finds
    // nobody, and nothing else notices.
    close(partial.fd);
    partial.fd = -1;
    uint32_t id;
    ASSERT_EQ(ubus_lookup_id(good.ctx, "test", &id), 0);
    {
        Raw caller(sock);
        blob_buf b{};
        blob_buf_init(&b, 0);
        blobmsg_add_u32(&b, "ms", 100);
        std::string payload(static_cast<char *>(blob_data(b.head)), blob_len(b.head));
        blob_buf_free(&b);
        invoke_raw(caller, 1, id, "defer", payload);
    }
    usleep(200000);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(call_id(good.ctx, id, "echo", "{}").status, 0);

    EXPECT_TRUE(daemon.child.running());
    EXPECT_TRUE(daemon.stop_clean());
}

TEST_F(DaemonTest, MalformedPayloadsAreRefusedNotForwarded)
{
    Peer callee = peer();
    Ctx good(sock);
    uint32_t id;
    ASSERT_EQ(ubus_lookup_id(good.ctx, "test", &id), 0);
    Raw r(sock);
    ASSERT_NE(r.id, 0u);

    // A string without its terminating NUL.
    std::string s = blobmsg_bytes([](blob_buf &b) { blobmsg_add_string(&b, "k", "value"); });
    s[s.find("value") + 5] = 'Y';
    invoke_raw(r, 1, id, "echo", s);
    // If it had been forwarded, the echo's DATA would come first.
    EXPECT_EQ(status_of(r, 1), UBUS_STATUS_INVALID_ARGUMENT);

    // A table whose member claims more than the table holds.
    std::string t = blobmsg_bytes([](blob_buf &b) {
        void *c = blobmsg_open_table(&b, "t");
        blobmsg_add_u32(&b, "n", 1);
        blobmsg_close_table(&b, c);
    });
    blob_attr *inner = reinterpret_cast<blob_attr *>(&t[0] + blobmsg_hdrlen(1) + sizeof(blob_attr));
    blob_set_raw_len(inner, 200);
    invoke_raw(r, 2, id, "echo", t);
    EXPECT_EQ(status_of(r, 2), UBUS_STATUS_INVALID_ARGUMENT);

    // Arrays nested past any JSON the bus carries.
    std::string deep = blobmsg_bytes([](blob_buf &b) {
        std::vector<void *> c;
        for (int i = 0; i < 100; i++)
            c.push_back(blobmsg_open_array(&b, i ? nullptr : "a"));
        while (!c.empty()) {
            blobmsg_close_array(&b, c.back());
            c.pop_back();
        }
    });
    invoke_raw(r, 3, id, "echo", deep);
    EXPECT_EQ(status_of(r, 3), UBUS_STATUS_INVALID_ARGUMENT);

    // A well-formed one goes through: echo answers, then the status.
    std::string ok = blobmsg_bytes([](blob_buf &b) { blobmsg_add_string(&b, "k", "v"); });
    invoke_raw(r, 4, id, "echo", ok);
    ubus_msghdr hdr;
    std::vector<char> body;
    ASSERT_TRUE(r.next(hdr, body));
    EXPECT_EQ(hdr.type, UBUS_MSG_DATA);
    EXPECT_EQ(hdr.peer, id);
    EXPECT_EQ(status_of(r, 4), 0);

    // Nobody else's object can be removed, answered for or listened on.
    blob_buf b{};
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, id);
    r.send_msg(UBUS_MSG_REMOVE_OBJECT, 5, 0, b.head);
    EXPECT_EQ(status_of(r, 5), UBUS_STATUS_PERMISSION_DENIED);

    ubus_request req;
    ASSERT_EQ(ubus_invoke_async(good.ctx, id, "hang", nullptr, &req), 0);
    ubus_complete_request_async(good.ctx, &req);
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_STATUS, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, id);
    r.send_msg(UBUS_MSG_STATUS, req.seq, good.ctx->local_id, b.head);
    EXPECT_EQ(ubus_complete_request(good.ctx, &req, 300), UBUS_STATUS_TIMEOUT);
    blob_buf_free(&b);

    {
        blob_buf rb{};
        blob_buf_init(&rb, 0);
        blobmsg_add_u32(&rb, "object", id);
        blobmsg_add_string(&rb, "pattern", "*");
        invoke_raw(r, 6, UBUS_SYSTEM_OBJECT_EVENT, "register",
                   std::string(static_cast<char *>(blob_data(rb.head)), blob_len(rb.head)));
        blob_buf_free(&rb);
    }
    EXPECT_EQ(status_of(r, 6), UBUS_STATUS_PERMISSION_DENIED);

    // Unknown message types are answered, not fatal.
    blob_buf_init(&b, 0);
    r.send_msg(77, 7, 0, b.head);
    EXPECT_EQ(status_of(r, 7), UBUS_STATUS_INVALID_COMMAND);
    blob_buf_free(&b);

    EXPECT_EQ(call_id(good.ctx, id, "echo", "{}").status, 0);
    EXPECT_TRUE(daemon.stop_clean());
}

TEST_F(DaemonTest, AClientThatStopsReadingIsDroppedAlone)
{
    Peer stuck = peer("stuck", {"-e", "flood"});
    Ctx s(sock);
    ASSERT_EQ(kill(stuck.child.pid(), SIGSTOP), 0);

    std::string big(1000 * 1024, 'f');
    std::string json = R"({"f":")" + big + R"("})";
    blob_buf b{};
    blob_buf_init(&b, 0);
    ASSERT_TRUE(blobmsg_add_json_from_string(&b, json.c_str()));
    double t0 = now();
    for (int i = 0; i < 12; i++)
        ASSERT_EQ(ubus_send_event(s.ctx, "flood", b.head), 0);
    blob_buf_free(&b);
    EXPECT_LT(now() - t0, 5.0);

    uint32_t id;
    EXPECT_TRUE(testsupport::wait_for(3000, [&] {
        return ubus_lookup_id(s.ctx, "stuck", &id) == UBUS_STATUS_NOT_FOUND;
    }));
    kill(stuck.child.pid(), SIGCONT);
    // It sees its connection end, after what was already on its socket.
    EXPECT_TRUE(stuck.wait_output("lost", 5000)) << stuck.output().size();
    int st = stuck.child.wait(3000);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_TRUE(daemon.stop_clean());
}

// The daemon answers a client only once it runs its loop: a signal before
// that is forgotten, as on the router, and a socket file alone may not be
// listened on yet.
bool serving(const std::string &sock)
{
    ubus_context *c = ubus_connect(sock.c_str());
    if (c)
        ubus_free(c);
    return c != nullptr;
}

TEST(DaemonCommand, SocketFromOptionOrEnvironment)
{
    testsupport::TempDir dir;
    auto r = testsupport::run({UBUSD_BIN, "-x"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Usage:"), std::string::npos);
    // As the router's daemon reports it (status 255).
    r = testsupport::run({UBUSD_BIN, "-s", dir.file("no/such/dir/ubus.sock")});
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.err, "usock: No such file or directory\n");
    // Arguments past the options are ignored, as on the router.
    std::string extra_sock = dir.file("extra.sock");
    testsupport::Child extra({UBUSD_BIN, "-s", extra_sock, "extra"}, dir.file("extra.log"));
    EXPECT_TRUE(testsupport::wait_for(3000, [&] { return serving(extra_sock); }));
    int extra_st = extra.stop(SIGTERM, 5000);
    EXPECT_TRUE(WIFEXITED(extra_st) && WEXITSTATUS(extra_st) == 0);

    // HOST_UBUS_SOCKET, in a folder the daemon makes; the library and the
    // command find it through the same variable.
    std::string sock = dir.file("run/ubus.sock");
    std::string env = "HOST_UBUS_SOCKET=" + sock;
    testsupport::Child d({UBUSD_BIN}, dir.file("d.log"), {env});
    ASSERT_TRUE(testsupport::wait_for(3000, [&] { return serving(sock); }));
    setenv("HOST_UBUS_SOCKET", sock.c_str(), 1);
    ubus_context *ctx = ubus_connect(nullptr);
    EXPECT_NE(ctx, nullptr);
    if (ctx) {
        EXPECT_EQ(ubus_reconnect(ctx, nullptr), 0);
        ubus_free(ctx);
    }
    unsetenv("HOST_UBUS_SOCKET");
    testsupport::RunOptions o;
    o.env = {env};
    r = testsupport::run({UBUS_BIN, "list"}, o);
    EXPECT_EQ(r.code, 0) << r.err;

    // A second daemon on the same path takes it over; the first, stopped,
    // leaves the newer socket alone. An object on the first tells them apart.
    ubus_context *on_first = ubus_connect(sock.c_str());
    ASSERT_NE(on_first, nullptr);
    static const ubus_method none[] = {{"m", nullptr, 0, 0, nullptr, 0}};
    static ubus_object_type type = {"t", 0, none, 1};
    ubus_object mark{};
    mark.name = "on.first";
    mark.type = &type;
    mark.methods = none;
    mark.n_methods = 1;
    ASSERT_EQ(ubus_add_object(on_first, &mark), 0);
    testsupport::Child d2({UBUSD_BIN, "-s", sock}, dir.file("d2.log"));
    ASSERT_TRUE(testsupport::wait_for(3000, [&] {
        ubus_context *c = ubus_connect(sock.c_str());
        uint32_t id;
        bool second = c && ubus_lookup_id(c, "on.first", &id) == UBUS_STATUS_NOT_FOUND;
        if (c)
            ubus_free(c);
        return second;
    }));
    ubus_free(on_first);
    int st = d.stop();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    r = testsupport::run({UBUS_BIN, "list"}, o);
    EXPECT_EQ(r.code, 0) << r.err;
    st = d2.stop();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_NE(access(sock.c_str(), F_OK), 0);
}
