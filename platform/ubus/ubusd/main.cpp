// ubusd: the host bus daemon. Listens on a Unix socket (-s SOCKET, else
// HOST_UBUS_SOCKET, else the router's path) until SIGTERM or SIGINT.
// Unlike the router's, it makes the socket's folder when it is missing.
#include "ubusd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

extern "C" {
#include "ubus_common.h"
}

using namespace ubusd;

namespace {

// Retry pause when accept() fails for want of descriptors: the listening
// socket stays readable, and polling it hot would spin.
constexpr int ACCEPT_PAUSE_MS = 100;

uloop_fd g_listen;

void accept_cb(uloop_fd *u, unsigned int);

void resume_accept(uloop_timeout *)
{
    uloop_fd_add(&g_listen, ULOOP_READ);
}

uloop_timeout g_accept_pause = {{nullptr, nullptr}, false, resume_accept, {0, 0}};

void accept_cb(uloop_fd *u, unsigned int)
{
    for (;;) {
        int fd = accept4(u->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            client_accept(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            perror("ubusd: accept");
            uloop_fd_delete(&g_listen);
            uloop_timeout_set(&g_accept_pause, ACCEPT_PAUSE_MS);
        }
        return;
    }
}

int usage(const char *prog)
{
    fprintf(stderr,
            "Usage: %s [<options>]\n"
            "Options: \n"
            "  -A <path>:\t\tSet the path to ACL files\n"
            "  -s <socket>:\t\tSet the unix domain socket to listen on\n"
            "\n",
            prog);
    return 1;
}

// The router's init makes the socket's folder; the host daemon makes it
// if it is missing.
void make_parent(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return;
    mkdir(path.substr(0, slash).c_str(), 0755);
}

// The socket is open to every user (mode 0666), as the router's daemon
// makes it; failures are reported as it reports them.
int listen_on(const std::string &path)
{
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (path.size() >= sizeof(sun.sun_path)) {
        errno = ENAMETOOLONG;
        perror("usock");
        return -1;
    }
    memcpy(sun.sun_path, path.c_str(), path.size() + 1);
    make_parent(path);
    unlink(path.c_str());
    umask(0111);

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) < 0 ||
        listen(fd, SOMAXCONN) < 0) {
        perror("usock");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// Only the socket this daemon made goes: a newer daemon may own the path
// (and may even have been given the same inode number).
void unlink_own(const std::string &path, const struct stat &mine)
{
    struct stat there;
    if (stat(path.c_str(), &there) == 0 && there.st_dev == mine.st_dev &&
        there.st_ino == mine.st_ino && there.st_ctim.tv_sec == mine.st_ctim.tv_sec &&
        there.st_ctim.tv_nsec == mine.st_ctim.tv_nsec)
        unlink(path.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    const char *env = getenv("HOST_UBUS_SOCKET");
    std::string path = env && *env ? env : UBUS_UNIX_SOCKET;
    int ch;
    while ((ch = getopt(argc, argv, "A:s:")) != -1) {
        switch (ch) {
        case 's':
            path = optarg;
            break;
        case 'A':
            break;  // the host daemon keeps no access lists
        default:
            return usage(argv[0]);
        }
    }

    if (uloop_init() < 0) {
        fprintf(stderr, "ubusd: cannot start the event loop\n");
        return 1;
    }
    int fd = listen_on(path);
    if (fd < 0) {
        uloop_done();
        return -1;
    }
    struct stat mine {};
    stat(path.c_str(), &mine);
    g_listen.fd = fd;
    g_listen.cb = accept_cb;
    uloop_fd_add(&g_listen, ULOOP_READ);

    uloop_run();

    uloop_timeout_cancel(&g_accept_pause);
    uloop_fd_delete(&g_listen);
    clients_free();
    calls_free();
    subscriptions_free();
    monitors_free();
    events_free();
    objects_free();
    unlink_own(path, mine);
    close(fd);
    blob_buf_free(&scratch());
    uloop_done();
    return 0;
}
