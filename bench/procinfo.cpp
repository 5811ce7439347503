#include "procinfo.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "proc.h"

namespace {

std::string proc_file(pid_t pid, const char *name)
{
    return testsupport::read_file("/proc/" + std::to_string(pid) + "/" + name);
}

// The number after "key:" in a /proc key-value file; -1 when absent.
long field_kb(const std::string &text, const char *key)
{
    std::string k = std::string("\n") + key + ":";
    size_t at = ("\n" + text).find(k);
    if (at == std::string::npos)
        return -1;
    return strtol(text.c_str() + at + k.size() - 1, nullptr, 10);
}

// Fields 14 and 15 (utime, stime) of /proc/PID/stat, in ms; the command
// name in field 2 may hold spaces, so count from its closing parenthesis.
double stat_cpu_ms(const std::string &stat)
{
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    const char *p = stat.c_str() + close + 2;
    unsigned long long utime = 0, stime = 0;
    if (sscanf(p, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

} // namespace

proc_sample proc_read(pid_t pid)
{
    proc_sample s = {};
    std::string stat = proc_file(pid, "stat");
    std::string status = proc_file(pid, "status");
    if (stat.empty() || status.empty())
        return s;
    s.cpu_ms = stat_cpu_ms(stat);
    std::string sched = proc_file(pid, "schedstat");
    s.run_ms = sched.empty() ? -1 : static_cast<double>(strtoull(sched.c_str(), nullptr, 10)) / 1e6;
    s.rss_kb = field_kb(status, "VmRSS");
    s.anon_kb = field_kb(status, "RssAnon");
    s.ctx_switches = field_kb(status, "voluntary_ctxt_switches") +
                     field_kb(status, "nonvoluntary_ctxt_switches");
    std::string rollup = proc_file(pid, "smaps_rollup");
    long clean = field_kb(rollup, "Private_Clean"), dirty = field_kb(rollup, "Private_Dirty");
    s.private_kb = clean < 0 || dirty < 0 ? -1 : clean + dirty;
    s.ok = s.cpu_ms >= 0;
    return s;
}
