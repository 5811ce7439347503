// Runs the Wi-Fi tools in front of the simulated driver and reads back
// what they sent it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "proc.h"

namespace wifitest {

using Bytes = std::vector<uint8_t>;

struct OidRequest {
    std::string ifname;
    unsigned flags = 0;
    size_t length = 0;
    bool null_data = false; // no payload pointer at all
    Bytes data;
    std::string result;
};

struct DriverLog {
    std::vector<OidRequest> requests;
    int open_sockets = -1; // -1: the tool never reached exit()
};

Bytes hex(const std::string &text);

// One simulated driver: its interfaces, get answers, failing OIDs and log.
class Driver {
public:
    explicit Driver(std::string ifaces = "wl0:7,wl1:8") : ifaces_(std::move(ifaces)) {}
    void answer(const std::string &oid_eq_hex) { gets_.push_back(oid_eq_hex); }
    void fail(const std::string &oid) { fails_.push_back(oid); }

    testsupport::Result run(const std::string &program, const std::vector<std::string> &args);
    DriverLog log() const;

private:
    testsupport::TempDir dir_;
    std::string ifaces_;
    std::vector<std::string> gets_, fails_;
};

std::string ctl_help();

} // namespace wifitest
