// Levels are the syslog priorities; call sites pass them as plain numbers.
#pragma once

enum {
    OVIMAR_LOG_EMERG = 0,
    OVIMAR_LOG_ALERT = 1,
    OVIMAR_LOG_CRIT = 2,
    OVIMAR_LOG_ERR = 3,
    OVIMAR_LOG_WARNING = 4,
    OVIMAR_LOG_NOTICE = 5,
    OVIMAR_LOG_INFO = 6,
    OVIMAR_LOG_DEBUG = 7,
};

enum {
    OVIMAR_LOG_MODE_SYSLOG = 0,
    OVIMAR_LOG_MODE_STDERR = 1, // writes to standard output, despite the name
};

void ovimar_log(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

int log_level_get();
int log_level_set(unsigned int level);
int log_mode_get();
int log_mode_set(int mode);
int log_open();
