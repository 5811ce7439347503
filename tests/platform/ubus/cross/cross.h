// Two private buses side by side, one on the router's real ubusd and one
// on the host's, each with a callee peer of either build ("rpeer" linked
// against the real libubus, "hpeer" against the host one). A command runs
// in every combination of daemon, ubus command and peer, and each run is
// compared with the all-real one.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proc.h"

namespace cross {

struct Build {
    const char *name;
    const char *ubusd;
    const char *ubus;
    const char *peer;
    const char *object;  // the name its peer serves
};

inline constexpr Build REAL{"real", UBUSD_REAL, UBUS_REAL, PEER_REAL, "rpeer"};
inline constexpr Build HOST{"host", UBUSD_HOST, UBUS_HOST, PEER_HOST, "hpeer"};
inline constexpr const Build *BUILDS[] = {&REAL, &HOST};

struct Combo {
    const Build *daemon;
    const Build *cli;
    const Build *peer;
    std::string label() const;
};
std::vector<Combo> combos();

// What a run printed, with what differs by nature between runs (object and
// client ids, the peer's name where a command named it as OBJ) made neutral.
struct Seen {
    int code = -1;
    std::string out;
    std::string err;
};

class CrossBus : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    testsupport::Child daemons[2];
    testsupport::Child peers[2][2];
    void SetUp() override;
    std::string sock(const Build &daemon) const;
    // args may hold "OBJ" for the combination's peer object.
    Seen ubus(const Combo &c, std::vector<std::string> args, int timeout_ms = 15000);
    // The combination's ubus command as a background program, its standard
    // output and error both in out.
    testsupport::Child background(const Combo &c, std::vector<std::string> args,
                                  const std::string &out) const;
    // What the combination's peer printed so far.
    std::string peer_log(const Combo &c) const;
    // argv for the combination's ubus command, OBJ already replaced.
    std::vector<std::string> argv(const Combo &c, std::vector<std::string> args) const;
};

// named: the command named the peer as OBJ.
std::string neutral(std::string text, const Combo &c, bool named);

} // namespace cross
