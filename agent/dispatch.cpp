#include "dispatch.h"

#include "log.h"

// Not built yet: platform messages are only traced.
void ovimar_parse_response_msg(const char *userdata)
{
    ovimar_log(OVIMAR_LOG_DEBUG, "ovimar ovimar_parse_response_msg userdata:%s\n", userdata);
}
