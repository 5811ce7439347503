// Broker session driven by the agent's loop.
#pragma once

enum {
    MQTT_HOOK_MESSAGE = 1,
    MQTT_HOOK_SUBSCRIBE = 2,
};

using mqtt_message_hook = void (*)(const char *payload);
using mqtt_subscribe_hook = void (*)(int granted_qos);

int mqtt_connect();
int mqtt_reconnect();
void mqtt_loop_misc();
int mqtt_teardown();
int mqtt_publish_msg(int *mid, int len, const char *payload);
void mqtt_set_hook(int kind, void *fn);
void mqtt_subscribed(int granted_qos);
