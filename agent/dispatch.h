// Every platform message passes through here; the session and broker record.
#pragma once

struct mqtt_server {
    char cookie[64];
    char uuid[64];
    int BrokerPort;
    char BrokerAddress[256];
    int KeepAliveTime;
    char Topic[64];
    char Username[256];
    char Password[256];
};

extern struct mqtt_server g_mqtt_server;

// The last platform response that answered the agent's outstanding request.
struct last_response {
    char method[64];
    int result; // -1 until one has come
};

extern struct last_response g_last_response;

void clear_cookie();
void ovimar_parse_response_msg(const char *userdata);
int save_mqtt_server(const char *userdata, int result);
