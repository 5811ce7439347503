// What the platform answers to a request, and what it finds wrong in it.
#pragma once

#include <string>

#include "platform.h"

enum class delivery { whole, silent, stall, trickle };

struct answer {
    int status = 200;
    std::string body;
    delivery how = delivery::whole;
};

// method: devAuth, devGetMqttServer or other (answered with its own body).
answer answer_for(const platform_config &cfg, const std::string &method,
                  const std::string &request, const std::string &mode);
// "ok", or every problem found, "; " between them.
std::string check_request(const std::string &method, const std::string &request);
