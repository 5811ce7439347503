// A private bus for each test: its own daemon on its own socket, peers run
// as programs, and in-process clients of the host libubus.
#pragma once

#include <string>
#include <vector>

#include "proc.h"

extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubus.h>
}

namespace bustest {

// The daemon, stopped by PID when the object goes.
struct Daemon {
    testsupport::Child child;
    // Starts ubusd on sock and waits until it takes clients.
    void start(const std::string &sock, const std::string &log);
    // SIGTERM; true when it exited 0 (so under the sanitizers, without leaks).
    bool stop_clean();
};

// A peer program (tests/platform/ubus/ubus_peer.c), stopped by PID.
struct Peer {
    testsupport::Child child;
    std::string log;
    // Starts it and waits for its "ready" line.
    void start(const std::string &sock, const std::string &log_path,
               std::vector<std::string> args = {});
    std::string output() const;
    // Waits until the output has grown by text past offset from.
    bool wait_output(const std::string &text, int timeout_ms = 3000, size_t from = 0) const;
    // SIGTERM; true when it exited 0.
    bool stop_clean();
};

struct Ctx {
    ubus_context *ctx = nullptr;
    explicit Ctx(const std::string &sock);
    ~Ctx();
    Ctx(const Ctx &) = delete;
    Ctx &operator=(const Ctx &) = delete;
};

struct Reply {
    int status = -1;
    std::vector<std::string> data;  // each reply message as compact JSON
    double seconds = 0;
};

// A synchronous call; json null sends no message.
Reply call(ubus_context *ctx, const std::string &object, const std::string &method,
           const char *json, int timeout_ms = 3000);
Reply call_id(ubus_context *ctx, uint32_t id, const std::string &method, const char *json,
              int timeout_ms = 3000);

double now();
// Runs the loop for about ms.
void pump(int ms);

// The fixture: a temporary folder and a daemon on a socket inside it.
class BusTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string sock = dir.file("ubus.sock");
    Daemon daemon;
    void SetUp() override { daemon.start(sock, dir.file("ubusd.log")); }
    // Every daemon a test leaves running must stop cleanly: no leaks.
    void TearDown() override
    {
        if (daemon.child.running()) {
            EXPECT_TRUE(daemon.stop_clean()) << testsupport::read_file(dir.file("ubusd.log"));
        }
    }
    Peer peer(const std::string &name = "test", std::vector<std::string> args = {});
    testsupport::Result ubus(std::vector<std::string> args, int timeout_ms = 10000);
};

} // namespace bustest
