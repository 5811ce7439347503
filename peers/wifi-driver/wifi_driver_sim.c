/*
 * Simulated Wi-Fi driver, preloaded in front of the unchanged tools.
 *
 * It answers SIOCGIFINDEX and if_nametoindex() for the configured Wi-Fi
 * interfaces and takes every OID ioctl (SIOCIWFIRSTPRIV + 1): each request
 * is appended to the log as one line
 *
 *   <ifname> flags=0x<flags> length=<n> data=<hex|null> result=<ok|errno name>
 *
 * (data=null: no payload pointer; the bytes are those of the request, so
 * a get shows the length the tool passed).  Everything else goes to the
 * real ioctl.
 *
 * Environment:
 *   HOST_WIFI_DRIVER_IFACES  "wl0:7,wl1:8": interface names and indexes
 *   HOST_WIFI_DRIVER_LOG     file the requests are appended to
 *   HOST_WIFI_DRIVER_GET     "069d=2a,...": bytes answered to a get of an OID
 *   HOST_WIFI_DRIVER_FAIL    "1200,0647": OIDs whose requests fail with EIO
 *
 * A get of an OID not in HOST_WIFI_DRIVER_GET fails with EOPNOTSUPP; any
 * request on an interface not configured fails with ENODEV.  When the
 * process exits, a last line "exit open_sockets=<n>" tells how many
 * sockets the tool left open.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/sockios.h>
#include <linux/wireless.h>

#define OID_IOCTL (SIOCIWFIRSTPRIV + 1)
#define OID_SET 0x8000
#define GET_MAX 1024

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef unsigned int (*nametoindex_fn)(const char *);

/* Calls fn(item, len, arg) for each comma-separated item of the variable;
 * stops at the first nonzero result and returns it. */
static int each_item(const char *var, int (*fn)(const char *, size_t, void *), void *arg)
{
    const char *s = getenv(var);
    if (!s)
        return 0;
    while (*s) {
        size_t n = strcspn(s, ",");
        int r = n ? fn(s, n, arg) : 0;
        if (r)
            return r;
        s += n;
        if (*s == ',')
            s++;
    }
    return 0;
}

struct name_query {
    const char *name; /* as in ifr_name: up to IFNAMSIZ bytes */
};

static int match_iface(const char *item, size_t n, void *arg)
{
    const struct name_query *q = arg;
    const char *colon = memchr(item, ':', n);
    size_t len = colon ? (size_t)(colon - item) : n;
    if (len > IFNAMSIZ || memcmp(item, q->name, len) != 0)
        return 0;
    if (len < IFNAMSIZ && q->name[len] != '\0')
        return 0;
    return colon ? atoi(colon + 1) : 1;
}

static int iface_index(const char *name)
{
    struct name_query q = {name};
    return each_item("HOST_WIFI_DRIVER_IFACES", match_iface, &q);
}

static int match_oid(const char *item, size_t n, void *arg)
{
    (void)n;
    return strtoul(item, NULL, 16) == *(unsigned *)arg;
}

struct get_answer {
    unsigned oid;
    unsigned char bytes[GET_MAX];
    size_t len;
};

static int match_get(const char *item, size_t n, void *arg)
{
    struct get_answer *a = arg;
    const char *eq = memchr(item, '=', n);
    if (!eq || strtoul(item, NULL, 16) != a->oid)
        return 0;
    a->len = 0;
    for (const char *p = eq + 1; p + 1 < item + n && a->len < GET_MAX; p += 2) {
        char hex[3] = {p[0], p[1], 0};
        a->bytes[a->len++] = (unsigned char)strtoul(hex, NULL, 16);
    }
    return 1;
}

static void log_append(const char *line, size_t n)
{
    const char *path = getenv("HOST_WIFI_DRIVER_LOG");
    if (!path)
        return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, line, n) != (ssize_t)n)
        perror("wifi driver log");
    close(fd);
}

static void log_request(const struct iwreq *w, const char *result)
{
    if (!getenv("HOST_WIFI_DRIVER_LOG"))
        return;
    size_t len = w->u.data.length;
    const unsigned char *data = w->u.data.pointer;
    size_t cap = 128 + 2 * len;
    char *line = malloc(cap);
    if (!line)
        return;
    int n = snprintf(line, cap, "%.*s flags=0x%04x length=%zu data=", IFNAMSIZ, w->ifr_name,
                     w->u.data.flags, len);
    if (!data)
        n += snprintf(line + n, cap - n, "null");
    for (size_t i = 0; data && i < len; i++)
        n += snprintf(line + n, cap - n, "%02x", data[i]);
    n += snprintf(line + n, cap - n, " result=%s\n", result);
    log_append(line, (size_t)n);
    free(line);
}

static int fail(const struct iwreq *w, int err, const char *name)
{
    log_request(w, name);
    errno = err;
    return -1;
}

static int oid_request(struct iwreq *w)
{
    unsigned oid = w->u.data.flags & ~OID_SET;
    if (!iface_index(w->ifr_name))
        return fail(w, ENODEV, "ENODEV");
    if (each_item("HOST_WIFI_DRIVER_FAIL", match_oid, &oid))
        return fail(w, EIO, "EIO");
    if (w->u.data.flags & OID_SET) {
        log_request(w, "ok");
        return 0;
    }
    struct get_answer a = {.oid = oid};
    if (!each_item("HOST_WIFI_DRIVER_GET", match_get, &a))
        return fail(w, EOPNOTSUPP, "EOPNOTSUPP");
    if (!w->u.data.pointer)
        return fail(w, EFAULT, "EFAULT");
    log_request(w, "ok");
    memcpy(w->u.data.pointer, a.bytes, a.len);
    w->u.data.length = (unsigned short)a.len;
    return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);

    if (request == OID_IOCTL)
        return oid_request(arg);
    if (request == SIOCGIFINDEX) {
        struct ifreq *ifr = arg;
        int idx = iface_index(ifr->ifr_name);
        if (idx > 0) {
            ifr->ifr_ifindex = idx;
            return 0;
        }
    }
    if (!real)
        real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return real(fd, request, arg);
}

unsigned int if_nametoindex(const char *name)
{
    static nametoindex_fn real;
    char field[IFNAMSIZ] = {0};
    memcpy(field, name, strnlen(name, IFNAMSIZ));
    int idx = iface_index(field);
    if (idx > 0)
        return (unsigned)idx;
    if (!real)
        real = (nametoindex_fn)dlsym(RTLD_NEXT, "if_nametoindex");
    return real(name);
}

__attribute__((destructor)) static void log_open_sockets(void)
{
    if (!getenv("HOST_WIFI_DRIVER_LOG"))
        return;
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return;
    int open_sockets = 0;
    struct dirent *e;
    while ((e = readdir(d))) {
        char path[300], target[64];
        snprintf(path, sizeof(path), "/proc/self/fd/%s", e->d_name);
        ssize_t n = readlink(path, target, sizeof(target) - 1);
        if (n > 0 && strncmp(target, "socket:", 7) == 0)
            open_sockets++;
    }
    closedir(d);
    char line[64];
    int n = snprintf(line, sizeof(line), "exit open_sockets=%d\n", open_sockets);
    log_append(line, (size_t)n);
}
