// What a fleet's agents said at log level 6, time-stamped as each line
// arrived, and the figures made of it: their tries, how tries bunch, when
// all had settled. No processes here, so it is tested on its own.
#pragma once

#include <string>
#include <vector>

constexpr int STATE_CONNECTING = 3; // OVIMAR_MQTT_CONNECTING
constexpr int STATE_FINISHED = 8;   // OVIMAR_FINISHED

enum class fleet_ev {
    state,          // "change state machines to:N from:M"
    failure,        // "attempt failed N times in a row, next in D ms"
    login,          // a devAuth request
    broker_request, // a devGetMqttServer request
    connect,        // a try at the broker (only from fleet_tries)
    gave_up,        // "broker out of reach for N s. back to auth state!"
};

struct fleet_event {
    double t; // s, when its line arrived
    fleet_ev kind;
    int to = 0, from = 0;  // state
    int failures = 0;      // failure: times in a row
    long delay_ms = 0;     // failure: until the next attempt
};

// The events of one line, in order: a request line has no line feed of its
// own, so whatever the agent logs next shares its line.
void fleet_parse_line(const std::string &line, double t, std::vector<fleet_event> *out);

// When one agent reached out: every login and broker request, and every
// try at the broker, be it one that got as far as TCP (a change to
// OVIMAR_MQTT_CONNECTING) or one refused at once (a failure nothing else
// explains). Not tries: the failure that counts a lost session, refused
// credentials or a broker given up (the first give-up since a session
// stood a minute counts none), nor the one that ends a failed login, a broker
// request given up, or a connect that timed out.
std::vector<fleet_event> fleet_tries(const std::vector<fleet_event> &events);

struct fleet_try {
    double t;
    int agent;
};

struct fleet_bunch {
    int agents;  // how many different agents tried in that second
    double from; // when that second began
};

// The second, sliding over the tries, in which the most agents tried;
// an agent trying twice in it counts once.
fleet_bunch fleet_busiest_second(std::vector<fleet_try> tries);

// The first moment at which `need` agents (0: all) had changed to state
// after since and not left it again; -1 if there was none.
double fleet_all_in(const std::vector<const std::vector<fleet_event> *> &agents, int state,
                    double since, size_t need = 0);

struct broker_second {
    long second; // unix time
    int count;
};

// The unix second from since on in which the most lines of mosquitto's log
// ("SECONDS: text", log_type all) held what.
broker_second broker_busiest_second(const std::string &log, const std::string &what,
                                    long since = 0);
