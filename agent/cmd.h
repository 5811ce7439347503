// Time-limited shell commands and the device identity read through them.
#pragma once

enum {
    RUN_OK = 0,
    RUN_FAILED = 5,   // did not start, killed by a signal, or non-zero exit
    RUN_INVALID = 22, // empty or over-long command: nothing run
};

constexpr int CLIENT_ID_LEN = 65;

extern char g_client_id[CLIENT_ID_LEN];

// With out, captures standard output (a final line feed dropped);
// without, only the exit status counts.
int run_command(char *out, int size, const char *pattern, ...)
    __attribute__((format(printf, 3, 4)));

void client_id_load();
