// Levels are the syslog priorities; call sites pass them as plain numbers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// Whether a JSON key or UCI option names a secret (secret, cookie, password).
bool log_secret_name(std::string_view name);
// Copies t into out with the value of every secret JSON key, plain or
// inside an escaped JSON string, replaced by "***"; out holds
// log_mask_room(t.size()) bytes. Returns the length written.
size_t log_mask(std::string_view t, char *out);
size_t log_mask_room(size_t len);
// What a line becomes before it is written: log_mask, then every form of
// every secret the agent holds (raw, JSON-escaped once, twice, three
// times) and every run of 6 or more of their characters replaced by "***".
std::string log_scrub(std::string_view t);
