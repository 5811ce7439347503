// Descriptors: epoll registration and the dispatch of ready descriptors.
#include "uloop_int.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/epoll.h>

using namespace uloop_int;

extern "C" {
uloop_fd_handler uloop_fd_set_cb = nullptr;
}

namespace {

int register_poll(uloop_fd *fd, unsigned int flags)
{
    epoll_event ev{};
    if (flags & ULOOP_READ)
        ev.events |= EPOLLIN | EPOLLRDHUP;
    if (flags & ULOOP_WRITE)
        ev.events |= EPOLLOUT;
    if (flags & ULOOP_EDGE_TRIGGER)
        ev.events |= EPOLLET;
    ev.data.ptr = fd;
    fd->flags = static_cast<uint8_t>(flags);
    return epoll_ctl(g_loop.poll_fd, fd->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD,
                     fd->fd, &ev);
}

// Buffers events for an edge-triggered descriptor whose callback is already
// running further up the stack (events < 0: forget it, it was deleted).
bool buffer_nested(uloop_fd *fd, int events)
{
    if (!(fd->flags & ULOOP_EDGE_TRIGGER) && events >= 0)
        return false;
    for (dispatch_frame *f = g_loop.frames; f; f = f->next) {
        if (f->fd != fd)
            continue;
        if (events < 0)
            f->fd = nullptr;
        else
            f->events |= static_cast<unsigned int>(events) | ULOOP_EVENT_BUFFERED;
        return true;
    }
    return false;
}

unsigned int translate(uloop_fd *u, uint32_t e)
{
    if (e & (EPOLLERR | EPOLLHUP)) {
        u->error = true;
        if (!(u->flags & ULOOP_ERROR_CB))
            uloop_fd_delete(u);
    }
    if (e & EPOLLRDHUP)
        u->eof = true;
    unsigned int ev = 0;
    if (e & EPOLLIN)
        ev |= ULOOP_READ;
    if (e & EPOLLOUT)
        ev |= ULOOP_WRITE;
    return ev;
}

void fetch_events(int timeout_ms)
{
    epoll_event events[MAX_EVENTS];
    g_loop.batch_pos = 0;
    g_loop.batch_len = 0;
    int n = epoll_wait(g_loop.poll_fd, events, MAX_EVENTS, timeout_ms);
    for (int i = 0; i < n; i++) {
        auto *u = static_cast<uloop_fd *>(events[i].data.ptr);
        ready_fd &r = g_loop.batch[i];
        r.fd = nullptr;
        r.events = 0;
        g_loop.batch_len = i + 1;
        if (!u || !(events[i].events & (EPOLLRDHUP | EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP)))
            continue;
        // After translate(): an error deletes u, yet its callback still
        // runs once to see u->error.
        r.events = translate(u, events[i].events);
        r.fd = u;
    }
}

} // namespace

namespace uloop_int {

bool run_events(int timeout_ms)
{
    if (g_loop.batch_pos >= g_loop.batch_len)
        fetch_events(timeout_ms);

    while (g_loop.batch_pos < g_loop.batch_len) {
        ready_fd &r = g_loop.batch[g_loop.batch_pos++];
        uloop_fd *fd = r.fd;
        unsigned int events = r.events;
        if (!fd || !fd->cb)
            continue;
        if (buffer_nested(fd, static_cast<int>(events)))
            continue;

        dispatch_frame frame{g_loop.frames, fd, 0};
        g_loop.frames = &frame;
        do {
            frame.events = 0;
            fd->cb(fd, events);
            events = frame.events & ULOOP_EVENT_MASK;
        } while (frame.fd && events);
        g_loop.frames = frame.next;
        return true;
    }
    return false;
}

void clear_batch()
{
    g_loop.batch_pos = g_loop.batch_len = 0;
}

} // namespace uloop_int

extern "C" {

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags)
{
    if (!(flags & (ULOOP_READ | ULOOP_WRITE)))
        return uloop_fd_delete(sock);

    if (!sock->registered && !(flags & ULOOP_BLOCKING)) {
        int fl = fcntl(sock->fd, F_GETFL, 0);
        if (fl >= 0)
            fcntl(sock->fd, F_SETFL, fl | O_NONBLOCK);
    }

    int ret = register_poll(sock, flags);
    if (ret < 0)
        return ret;

    sock->registered = true;
    sock->eof = false;
    sock->error = false;
    if (uloop_fd_set_cb)
        uloop_fd_set_cb(sock, flags);
    return 0;
}

int uloop_fd_delete(struct uloop_fd *fd)
{
    // Entries of the current batch go too: the caller may free fd next.
    for (int i = g_loop.batch_pos; i < g_loop.batch_len; i++)
        if (g_loop.batch[i].fd == fd)
            g_loop.batch[i].fd = nullptr;

    if (!fd->registered)
        return 0;

    if (uloop_fd_set_cb)
        uloop_fd_set_cb(fd, 0);
    fd->registered = false;
    buffer_nested(fd, -1);
    fd->flags = 0;
    return epoll_ctl(g_loop.poll_fd, EPOLL_CTL_DEL, fd->fd, nullptr);
}

} // extern "C"
