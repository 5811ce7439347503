#include "mqtt.h"

#include "state.h"

namespace {
mqtt_message_hook g_message_hook;
mqtt_subscribe_hook g_subscribe_hook;
constexpr int SUBACK_FAILURE = 0x80;
} // namespace

// The broker session itself is not built yet: until it is, the state
// machine finds no client and stays where it is.
int mqtt_connect()
{
    return -1;
}

int mqtt_reconnect()
{
    return -1;
}

void mqtt_loop_misc()
{
}

int mqtt_teardown()
{
    return 0;
}

void mqtt_set_hook(int kind, void *fn)
{
    if (kind == MQTT_HOOK_MESSAGE)
        g_message_hook = reinterpret_cast<mqtt_message_hook>(fn);
    else if (kind == MQTT_HOOK_SUBSCRIBE)
        g_subscribe_hook = reinterpret_cast<mqtt_subscribe_hook>(fn);
}

void mqtt_subscribed(int granted_qos)
{
    if (granted_qos != SUBACK_FAILURE)
        agent_state_set(OVIMAR_MQTT_CONNECTED);
}
