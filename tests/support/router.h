// A private router for one test: its own UCI folders, bus socket and board
// data, on the host stand-ins and on the real router libraries alike.
//
// Host build: private folders, handed to the stand-ins through their
// HOST_* variables. Firmware build (the real libraries have no seams):
// the test process enters a mount namespace of its own in which
// /etc/config, /tmp/.uci and /var/run/ubus are fresh private folders and
// whatever the test writes under /etc, /run or /tmp stays there. Either
// way children inherit it.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "proc.h"

namespace testsupport {

struct RouterPaths {
    std::string confdir;     // UCI packages (/etc/config on the router)
    std::string savedir;     // uncommitted UCI changes (/tmp/.uci)
    std::string ubus_socket; // the bus (/var/run/ubus/ubus.sock)
    std::string nvfile;      // board data of the host nvtool
    std::string ubusd, ubus, uci; // the platform's daemon and commands
    std::string bin_path;    // where the router's commands are, PATH style
};

// true when the tests link the router's real libraries
bool real_router_libs();

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
    bool enter_namespace();

    std::string why_;
    RouterPaths paths_;
    std::optional<TempDir> dir_;
    int old_ns_ = -1, old_cwd_ = -1;
    std::string old_path_;
};

// Fixture for tests that need a private router: skips where none can be
// made (the firmware build not run as root).
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
