// A private router for one test (private_router.h): the test process enters
// a mount namespace of its own where the real libuci, libubus and the
// router's commands find empty /etc/config, /tmp/.uci and /var/run/ubus.
// Children inherit it; the board's nvtool gets a private file too.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "private_router.h"
#include "proc.h"

namespace testsupport {

struct RouterPaths {
    std::string confdir = ROUTER_CONFDIR;         // UCI packages
    std::string savedir = ROUTER_SAVEDIR;         // uncommitted UCI changes
    std::string ubus_socket = ROUTER_UBUS_SOCKET; // the bus
    std::string nvfile;                           // board data of nvtool
    std::string ubusd, ubus, uci;  // the router's daemon and commands
    std::string bin_path;          // where the router's commands are, PATH style
    std::string board_bin = ROUTER_BOARD_BIN; // the board's own (nvtool, old "-t" timeout)
};

// Construct it before any TempDir of the test (tests/support/README.md).
// Restores the process's namespace and variables when it dies.
class RouterWorld {
public:
    RouterWorld();
    ~RouterWorld();
    RouterWorld(const RouterWorld &) = delete;
    RouterWorld &operator=(const RouterWorld &) = delete;

    bool ok() const { return why_.empty(); }
    const std::string &why() const { return why_; } // why not ok
    const RouterPaths &paths() const { return paths_; }
    // A private scratch folder, visible inside the world.
    const TempDir &dir() const { return *dir_; }

    // Writes or reads a UCI package file.
    void config(const std::string &package, const std::string &text) const;
    std::string config(const std::string &package) const;
    // "NAME=value" entries for children given an explicit environment.
    std::vector<std::string> env() const;

private:
    std::string why_;
    RouterPaths paths_;
    std::optional<TempDir> dir_;
    int old_ns_ = -1, old_cwd_ = -1;
    std::string old_path_;
};

// Fixture for tests that need a private router: skips where none can be
// made (not run as root).
class RouterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!world.ok())
            GTEST_SKIP() << world.why();
    }
    RouterWorld world;
};

} // namespace testsupport
