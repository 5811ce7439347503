// The agent's private router (testsupport::RouterWorld): UCI files, board
// data and the router's commands first on PATH.
#pragma once

#include <string>
#include <vector>

#include "proc.h"
#include "router.h"

struct PrivateRouter {
    testsupport::RouterWorld world;
    const testsupport::TempDir &dir = world.dir();
    std::string confdir = world.paths().confdir;
    std::string savedir = world.paths().savedir;
    std::string nvfile = world.paths().nvfile;

    void config(const std::string &package, const std::string &text) const
    {
        world.config(package, text);
    }

    std::string config(const std::string &package) const { return world.config(package); }

    std::vector<std::string> env() const { return world.env(); }
};

// Skips the test where no private router can be made.
#define REQUIRE_ROUTER(r)                                                                  \
    do {                                                                                   \
        if (!(r).world.ok())                                                               \
            GTEST_SKIP() << (r).world.why();                                               \
    } while (0)
