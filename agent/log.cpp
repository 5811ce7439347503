#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <syslog.h>

namespace {
int g_log_level = OVIMAR_LOG_ERR;
int g_log_mode = OVIMAR_LOG_MODE_STDERR;
} // namespace

void ovimar_log(int level, const char *fmt, ...)
{
    if (level > g_log_level)
        return;

    va_list ap;
    va_start(ap, fmt);
    if (g_log_mode)
        vprintf(fmt, ap);
    else
        vsyslog(level, fmt, ap);
    va_end(ap);
}

int log_level_get()
{
    return g_log_level;
}

int log_level_set(unsigned int level)
{
    if (level > OVIMAR_LOG_DEBUG)
        return -1;
    g_log_level = static_cast<int>(level);
    return 0;
}

int log_mode_get()
{
    return g_log_mode;
}

int log_mode_set(int mode)
{
    if (mode > OVIMAR_LOG_MODE_STDERR)
        return -1;
    g_log_mode = mode;
    return 0;
}

int log_open()
{
    openlog("ovimar", LOG_PID, LOG_DAEMON);
    return 0;
}
