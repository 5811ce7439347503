// The platform's HTTPS side: devAuth and devGetMqttServer on their paths,
// any other path answered with the request's own body.
#pragma once

#include "platform.h"

// Binds and starts serving on a thread; false when it cannot. Prints
// "https ready port N".
bool https_side_start(const platform_config &cfg);
void https_side_stop();
