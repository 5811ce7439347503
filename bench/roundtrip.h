// The three round trips, timed one at a time (one request in flight).
#pragma once

#include <string>

#include "bus_peer.h"
#include "mqtt_peer.h"
#include "stats.h"

// The platform request every round trip carries; its id names the answer.
std::string echo_request(long id);

// client publishes on topic and waits for a message with the same id.
void mqtt_rounds(mqtt_peer &client, const std::string &topic, int rounds, long *next_id,
                 series *s);
// The bench calls the service's echo method directly.
void bus_rounds(bus_peer &bus, int rounds, long *next_id, series *s);
