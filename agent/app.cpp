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
