// Loop life cycle, run, signals and child processes.
#include "uloop_int.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace uloop_int;

extern "C" {
bool uloop_cancelled = false;
bool uloop_handle_sigchld = true;
}

namespace uloop_int {
loop_state g_loop;
}

namespace {

// The signal that ended the current run.
volatile sig_atomic_t g_status = 0;
volatile sig_atomic_t g_sigchld = 0;
int g_waker_pipe = -1;

LIST_HEAD(processes);

void waker_consume(uloop_fd *fd, unsigned int)
{
    char buf[16];
    while (read(fd->fd, buf, sizeof(buf)) > 0) {
    }
}

uloop_fd g_waker_fd = {waker_consume, -1, false, false, false, 0};

void set_cloexec_nonblock(int fd)
{
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A signal handler only records and wakes the loop through the pipe.
void signal_wake()
{
    int saved = errno;
    while (write(g_waker_pipe, "w", 1) < 0 && errno == EINTR) {
    }
    errno = saved;
}

void on_sigint(int signo)
{
    g_status = signo;
    uloop_cancelled = true;
    signal_wake();
}

void on_sigchld(int)
{
    g_sigchld = 1;
    signal_wake();
}

struct saved_signal {
    int signo;
    void (*handler)(int);
    struct sigaction old;
};

saved_signal g_signals[] = {
    {SIGINT, on_sigint, {}},
    {SIGTERM, on_sigint, {}},
    {SIGCHLD, on_sigchld, {}},
};

// Installs only over the default action and restores only our own handler,
// so that a program's own handlers win, as on the router.
void install(saved_signal &s, bool add)
{
    struct sigaction cur;
    sigaction(s.signo, nullptr, &cur);
    if (add) {
        if (cur.sa_handler != SIG_DFL)
            return;
        s.old = cur;
        cur.sa_handler = s.handler;
        cur.sa_flags = 0;
        sigaction(s.signo, &cur, nullptr);
    } else if (cur.sa_handler == s.handler) {
        sigaction(s.signo, &s.old, nullptr);
    }
}

void ignore_sigpipe(bool add)
{
    struct sigaction s;
    sigaction(SIGPIPE, nullptr, &s);
    if (add ? s.sa_handler != SIG_DFL : s.sa_handler != SIG_IGN)
        return;
    s.sa_handler = add ? SIG_IGN : SIG_DFL;
    s.sa_flags = 0;
    sigaction(SIGPIPE, &s, nullptr);
}

void setup_signals(bool add)
{
    for (saved_signal &s : g_signals) {
        if (s.signo == SIGCHLD && !uloop_handle_sigchld)
            continue;
        install(s, add);
    }
    ignore_sigpipe(add);
}

int waker_init()
{
    if (g_waker_pipe >= 0)
        return 0;
    int fds[2];
    if (pipe(fds) < 0)
        return -1;
    set_cloexec_nonblock(fds[0]);
    set_cloexec_nonblock(fds[1]);
    g_waker_pipe = fds[1];
    g_waker_fd.fd = fds[0];
    return uloop_fd_add(&g_waker_fd, ULOOP_READ);
}

// Reaps only the registered children: other children belong to whoever
// started them (popen, system, a test's own runner).
void handle_processes()
{
    g_sigchld = 0;
    for (;;) {
        uloop_process *p, *found = nullptr;
        int status = 0;
        list_for_each_entry(p, &processes, list) {
            pid_t r;
            do {
                r = waitpid(p->pid, &status, WNOHANG);
            } while (r < 0 && errno == EINTR);
            if (r == p->pid) {
                found = p;
                break;
            }
        }
        if (!found)
            return;
        uloop_process_delete(found);
        if (found->cb)
            found->cb(found, status);
    }
}

void clear_processes()
{
    uloop_process *p, *tmp;
    list_for_each_entry_safe(p, tmp, &processes, list)
        uloop_process_delete(p);
}

} // namespace

extern "C" {

int uloop_init(void)
{
    if (g_loop.poll_fd < 0) {
        g_loop.poll_fd = epoll_create1(EPOLL_CLOEXEC);
        if (g_loop.poll_fd < 0)
            return -1;
    }
    if (waker_init() < 0) {
        uloop_done();
        return -1;
    }
    setup_signals(true);
    return 0;
}

bool uloop_cancelling(void)
{
    return g_loop.run_depth > 0 && uloop_cancelled;
}

int uloop_run_timeout(int timeout)
{
    int64_t limit = timeout >= 0 ? now_us() + static_cast<int64_t>(timeout) * 1000 : -1;

    g_loop.run_depth++;
    // As on the router, every run starts afresh: a SIGINT or SIGTERM taken
    // since uloop_init (ubus_connect calls it) and before the run is
    // forgotten, and the program runs on until the next one.
    g_status = 0;
    uloop_cancelled = false;
    for (;;) {
        process_timeouts();
        if (g_sigchld)
            handle_processes();
        if (uloop_cancelled)
            break;

        int64_t wait = next_timeout_ms();
        if (limit >= 0) {
            int64_t left = limit - now_us();
            left = left > 0 ? (left + 999) / 1000 : 0;
            if (wait < 0 || left < wait)
                wait = left;
        }
        bool ran = run_events(static_cast<int>(wait > 0x7fffffff ? 0x7fffffff : wait));
        if (uloop_cancelled)
            break;
        if (limit >= 0 && (ran || now_us() >= limit))
            break;
    }
    g_loop.run_depth--;
    return g_status;
}

void uloop_done(void)
{
    setup_signals(false);

    if (g_waker_pipe >= 0) {
        uloop_fd_delete(&g_waker_fd);
        close(g_waker_pipe);
        close(g_waker_fd.fd);
        g_waker_pipe = -1;
        g_waker_fd.fd = -1;
    }
    if (g_loop.poll_fd >= 0) {
        close(g_loop.poll_fd);
        g_loop.poll_fd = -1;
    }
    g_status = 0;
    clear_batch();
    clear_timeouts();
    clear_processes();
}

int uloop_process_add(struct uloop_process *p)
{
    if (p->pending)
        return -1;
    uloop_process *tmp;
    list_head *h = &processes;
    list_for_each_entry(tmp, &processes, list) {
        if (tmp->pid > p->pid) {
            h = &tmp->list;
            break;
        }
    }
    list_add_tail(&p->list, h);
    p->pending = true;
    // The child may have ended before it was registered.
    g_sigchld = 1;
    return 0;
}

int uloop_process_delete(struct uloop_process *p)
{
    if (!p->pending)
        return -1;
    list_del(&p->list);
    p->pending = false;
    return 0;
}

} // extern "C"
