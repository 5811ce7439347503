// How the platform answers, per request kind: a queue of modes, one taken
// per request; the last one stays.
#pragma once

#include <string>

// "METHOD=MODE[,MODE...]"; METHOD is devAuth, devGetMqttServer or other.
bool modes_parse(const std::string &spec);
std::string mode_next(const std::string &method);
bool mode_known(const std::string &mode);
