#include "app.h"

#include "log.h"

// Not built yet: local messages are only traced.
void local_msg_handler(const char *text)
{
    ovimar_log(OVIMAR_LOG_DEBUG, "local message: %s\n", text);
}

void app_msg_handler(const char *text)
{
    ovimar_log(OVIMAR_LOG_DEBUG, "app message: %s\n", text);
}

// Not built yet: bind responses and unBind requests are only traced.
int bind_response_handler(const char *userdata)
{
    ovimar_log(OVIMAR_LOG_DEBUG, "bind response: %s\n", userdata);
    return -1;
}

int unbind_request_handler(const char *userdata)
{
    ovimar_log(OVIMAR_LOG_DEBUG, "unBind request: %s\n", userdata);
    return -1;
}
