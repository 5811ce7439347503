// How the platform answers, per request kind: a queue of modes, one taken
// per request; the last one stays. Modes:
//   ok           the answer a working platform gives (other paths: the body back)
//   status500    status 500 with a JSON error body
//   empty        status 200, no body;  not_json: an HTML body
//   wrong_id     the answer carries the request's id + 1
//   result9008, result9009   the answer's result
//   strings      id, result and the broker's numbers as JSON strings
//   long         cookie, uuid and broker texts over 300 characters
//   no_cookie    (devAuth) no cookie
//   no_params, no_client, no_address   (devGetMqttServer) parts left out
//   params_text  parameterValues and its client as strings holding JSON
//   params_bad   the same, parameterValues' text cut short of its last '}'
//   silent       no answer at all;  stall: half the body, then nothing
//   trickle      the body 7 bytes every 100 ms
//   size:N       a body of exactly N bytes
#pragma once

#include <string>

// "METHOD=MODE[,MODE...]"; METHOD is devAuth, devGetMqttServer or other.
bool modes_parse(const std::string &arg);
std::string mode_next(const std::string &method);
bool mode_known(const std::string &mode);
