/* Checks for the rig's guest programs: one "PASS what" or "FAIL what: why"
 * line each, which the rig counts. */
#ifndef RIG_CHECK_H
#define RIG_CHECK_H

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/klog.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static int rig_failed;

static inline void rig_line(int ok, const char *why, const char *fmt, va_list ap)
{
    fputs(ok ? "PASS " : "FAIL ", stdout);
    vprintf(fmt, ap);
    if (!ok && why)
        printf(": %s", why);
    putchar('\n');
    fflush(stdout);
    if (!ok)
        rig_failed = 1;
}

/* check(cond, "what", ...) */
static inline int check(int ok, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    rig_line(ok, "condition false", fmt, ap);
    va_end(ap);
    return ok;
}

/* check_int(got, want, "what", ...) */
static inline int check_int(long got, long want, const char *fmt, ...)
{
    char why[64];
    va_list ap;
    snprintf(why, sizeof(why), "got %ld, want %ld", got, want);
    va_start(ap, fmt);
    rig_line(got == want, why, fmt, ap);
    va_end(ap);
    return got == want;
}

/* Newlines shown as \n, so a check stays on one line. */
static inline void rig_escape(char *dst, size_t n, const char *src)
{
    size_t i = 0;
    for (; *src && i + 2 < n; src++) {
        if (*src == '\n') {
            dst[i++] = '\\';
            dst[i++] = 'n';
        } else {
            dst[i++] = *src;
        }
    }
    dst[i] = 0;
}

/* check_str(got, want, "what", ...) */
static inline int check_str(const char *got, const char *want, const char *fmt, ...)
{
    char why[200], g[64], w[64];
    int ok = strcmp(got, want) == 0;
    va_list ap;
    rig_escape(g, sizeof(g), got);
    rig_escape(w, sizeof(w), want);
    snprintf(why, sizeof(why), "got \"%s\", want \"%s\"", g, w);
    va_start(ap, fmt);
    rig_line(ok, why, fmt, ap);
    va_end(ap);
    return ok;
}

/* 0, or the errno of loading the module file at path. */
static inline int module_load(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    int err;

    if (fd < 0)
        return errno;
    err = syscall(SYS_finit_module, fd, "", 0) ? errno : 0;
    close(fd);
    return err;
}

/* 0, or the errno of unloading the module called name. */
static inline int module_unload(const char *name)
{
    return syscall(SYS_delete_module, name, O_NONBLOCK) ? errno : 0;
}

/* The whole kernel log as klogctl reads it, "<level>[time] text" lines;
 * "" when it cannot be read. */
static inline const char *klog_all(void)
{
    static char buf[1 << 18];
    int len = klogctl(3 /* SYSLOG_ACTION_READ_ALL */, buf, sizeof(buf) - 1);

    buf[len < 0 ? 0 : len] = 0;
    return buf;
}

/* Kernel log lines that contain text. */
static inline int klog_count(const char *text)
{
    const char *p = klog_all();
    int n = 0;

    while ((p = strstr(p, text))) {
        n++;
        p = strchr(p, '\n');
        if (!p)
            break;
    }
    return n;
}

static inline double now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

#endif
