// What /proc tells of a running process: CPU time, memory, wake-ups.
#pragma once

#include <sys/types.h>

struct proc_sample {
    bool ok;
    double cpu_ms;        // utime + stime from /proc/PID/stat
    double run_ms;        // time on a CPU from /proc/PID/schedstat (ns resolution)
    long rss_kb;          // VmRSS
    long anon_kb;         // RssAnon: heap and stacks, whoever else maps the libraries
    long private_kb;      // Private_Clean + Private_Dirty of smaps_rollup; library
                          // pages count once no other process maps them
    long ctx_switches;    // voluntary + involuntary: how often it woke
};

proc_sample proc_read(pid_t pid);
