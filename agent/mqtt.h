// Broker session driven by the agent's loop.
#pragma once

struct uloop_fd;

enum {
    MQTT_HOOK_MESSAGE = 1,
    MQTT_HOOK_SUBSCRIBE = 2,
};

// mqtt_connect and mqtt_reconnect: nothing tried yet, the broker's name is
// being looked up; the state machine is ticked again when that ends.
constexpr int MQTT_PENDING = 1;

using mqtt_message_hook = void (*)(const char *payload);
using mqtt_subscribe_hook = void (*)(int granted_qos);

int mqtt_connect();
int mqtt_reconnect();
void mqtt_loop_misc();
int mqtt_teardown();
int mqtt_publish_msg(int *mid, int len, const char *payload);
void mqtt_set_hook(int kind, void *fn);
void mqtt_subscribed(int granted_qos);

void mqtt_fd_handler(struct uloop_fd *fd, unsigned int events);
void mqtt_update_write_interest();

// The descriptor registered with the loop, or -1 when none is.
int mqtt_registered_fd();
// True while a client exists (also one whose teardown is still pending).
bool mqtt_has_client();
// The keepalive, in seconds, the broker record gives the session (0: none).
int mqtt_keepalive();
