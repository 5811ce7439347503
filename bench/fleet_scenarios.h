// The fleet benchmark's scenarios (fleet_rig.h): cold start, broker outage,
// credentials rotated, broker moved, sessions cut, twin identities,
// platform outage at start.
#pragma once

#include <string>
#include <vector>

#include "fleet_rig.h"

struct fleet_options {
    int n = 150;
    // Each but platform (fresh agents, the platform down) starts from a
    // fleet in step: every agent started anew at once.
    std::vector<std::string> scenarios = {"cold", "broker", "rotate", "move",
                                          "flap", "twins", "platform"};
    int broker_outage_s = 60;
    int platform_outage_s = 300;
    int flap_s = 300;  // sessions cut this long
    int twins_s = 300; // pairs share an identity this long
    fleet_paths paths;
    std::string logs; // a folder for every agent's and broker's log; none when empty
};

// Prints the figures; throws when the fleet cannot be set up.
int fleet_run(const fleet_options &o);
