#include "dispatch.h"

#include <cstring>

#include "log.h"

struct mqtt_server g_mqtt_server;

void clear_cookie()
{
    memset(g_mqtt_server.cookie, 0, sizeof g_mqtt_server.cookie);
}

// Not built yet: platform messages are only traced.
void ovimar_parse_response_msg(const char *userdata)
{
    ovimar_log(OVIMAR_LOG_DEBUG, "ovimar ovimar_parse_response_msg userdata:%s\n", userdata);
}

int save_mqtt_server(const char *, int)
{
    return -1;
}
