// The fleet benchmark's scenarios (fleet_rig.h): cold start, broker outage,
// credentials rotated, broker moved, platform outage at start.
#pragma once

#include <string>
#include <vector>

#include "fleet_rig.h"

struct fleet_options {
    int n = 150;
    // cold, broker, rotate, move, platform; the middle three start from a
    // cold start, which then runs too.
    std::vector<std::string> scenarios = {"cold", "broker", "rotate", "move", "platform"};
    int broker_outage_s = 60;
    int platform_outage_s = 300;
    fleet_paths paths;
    std::string logs; // a folder for every agent's and broker's log; none when empty
};

// Prints the figures; throws when the fleet cannot be set up.
int fleet_run(const fleet_options &o);
