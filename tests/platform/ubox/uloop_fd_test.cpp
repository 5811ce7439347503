// Descriptors: read/write readiness, level versus edge triggering, changing
// the events, deletion from callbacks, end-of-file and error flags.
#include "uloop_test.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

struct Pipe {
    int r = -1, w = -1;
    Pipe()
    {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        r = fds[0];
        w = fds[1];
    }
    ~Pipe()
    {
        if (r >= 0)
            close(r);
        if (w >= 0)
            close(w);
    }
    void put(const char *s = "x") { EXPECT_GT(write(w, s, strlen(s)), 0); }
};

struct Pair {
    int a = -1, b = -1;
    Pair()
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        a = fds[0];
        b = fds[1];
    }
    ~Pair()
    {
        if (a >= 0)
            close(a);
        if (b >= 0)
            close(b);
    }
};

struct Watch {
    uloop_fd u{};  // first member: the callback finds its Watch
    std::vector<unsigned int> events;
    bool drain = true;
    bool end_loop = true;
    bool eof_seen = false, error_seen = false, registered_seen = false;
};

Watch *self(uloop_fd *u) { return reinterpret_cast<Watch *>(u); }

void on_ready(uloop_fd *u, unsigned int ev)
{
    Watch *w = self(u);
    w->events.push_back(ev);
    w->eof_seen = u->eof;
    w->error_seen = u->error;
    w->registered_seen = u->registered;
    char buf[64];
    if (w->drain && (ev & ULOOP_READ))
        while (read(u->fd, buf, sizeof(buf)) > 0) {
        }
    if (w->end_loop)
        uloop_end();
}

void watch(Watch &w, int fd, unsigned int flags)
{
    w.u.fd = fd;
    w.u.cb = on_ready;
    ASSERT_EQ(uloop_fd_add(&w.u, flags), 0);
    EXPECT_TRUE(w.u.registered);
}

// Runs the loop for a while, whatever the callbacks do.
void run_for(int ms)
{
    uloop_timeout stop{};
    stop.cb = [](uloop_timeout *) { uloop_end(); };
    uloop_timeout_set(&stop, ms);
    while (stop.pending && uloop_run_timeout(ms) >= 0 && stop.pending) {
    }
    uloop_timeout_cancel(&stop);
}

using Descriptors = Loop;

TEST_F(Descriptors, ReadAndWriteReadiness)
{
    Pipe p;
    Watch rd{};
    watch(rd, p.r, ULOOP_READ);
    p.put();
    EXPECT_EQ(uloop_run(), 0);
    ASSERT_EQ(rd.events.size(), 1u);
    EXPECT_EQ(rd.events[0], unsigned(ULOOP_READ));

    Pair s;
    Watch wr{};
    watch(wr, s.a, ULOOP_WRITE);
    uloop_run();
    ASSERT_FALSE(wr.events.empty());
    EXPECT_EQ(wr.events[0], unsigned(ULOOP_WRITE));
}

TEST_F(Descriptors, NonBlockingUnlessAskedToBlock)
{
    Pipe p, q;
    Watch a{}, b{};
    watch(a, p.r, ULOOP_READ);
    watch(b, q.r, ULOOP_READ | ULOOP_BLOCKING);
    EXPECT_TRUE(fcntl(p.r, F_GETFL) & O_NONBLOCK);
    EXPECT_FALSE(fcntl(q.r, F_GETFL) & O_NONBLOCK);
}

TEST_F(Descriptors, LevelRepeatsUntilReadEdgeFiresOncePerArrival)
{
    Pipe lp, ep;
    Watch level{}, edge{};
    level.drain = edge.drain = false;
    level.end_loop = edge.end_loop = false;
    watch(level, lp.r, ULOOP_READ);
    watch(edge, ep.r, ULOOP_READ | ULOOP_EDGE_TRIGGER);
    lp.put();
    ep.put();

    run_for(60);
    EXPECT_GT(level.events.size(), 3u);
    EXPECT_EQ(edge.events.size(), 1u);

    ep.put();
    uloop_fd_delete(&level.u);
    run_for(30);
    EXPECT_EQ(edge.events.size(), 2u);
}

TEST_F(Descriptors, ReaddingChangesTheEvents)
{
    Pair s;
    Watch w{};
    w.end_loop = false;
    watch(w, s.a, ULOOP_READ);
    run_for(30);
    EXPECT_TRUE(w.events.empty());  // nothing to read, write not asked

    ASSERT_EQ(uloop_fd_add(&w.u, ULOOP_READ | ULOOP_WRITE | ULOOP_EDGE_TRIGGER), 0);
    run_for(30);
    ASSERT_EQ(w.events.size(), 1u);
    EXPECT_EQ(w.events[0], unsigned(ULOOP_WRITE));

    ASSERT_EQ(uloop_fd_add(&w.u, ULOOP_READ), 0);
    w.events.clear();
    EXPECT_EQ(write(s.b, "y", 1), 1);
    run_for(30);
    ASSERT_EQ(w.events.size(), 1u);
    EXPECT_EQ(w.events[0], unsigned(ULOOP_READ));

    // No events asked at all: the same as a delete.
    ASSERT_EQ(uloop_fd_add(&w.u, 0), 0);
    EXPECT_FALSE(w.u.registered);
}

void delete_self_and_free(uloop_fd *u, unsigned int)
{
    uloop_fd_delete(u);
    free(u);  // a loop that touches u afterwards trips the address sanitizer
    uloop_end();
}

TEST_F(Descriptors, CallbackDeletesAndFreesItself)
{
    Pipe p;
    auto *u = static_cast<uloop_fd *>(calloc(1, sizeof(uloop_fd)));
    u->fd = p.r;
    u->cb = delete_self_and_free;
    ASSERT_EQ(uloop_fd_add(u, ULOOP_READ), 0);
    p.put();
    uloop_run();
    p.put();
    EXPECT_EQ(uloop_run_timeout(30), 0);  // gone: nothing more is called
}

// Two descriptors ready in the same epoll batch: whichever runs first deletes
// the other, which must then not be called.
struct Peer {
    uloop_fd u{};
    Peer *other = nullptr;
    int calls = 0;
    int *stale = nullptr;
    bool free_other = false;
};

Peer *g_last_called = nullptr;

void peer_ready(uloop_fd *u, unsigned int)
{
    auto *me = reinterpret_cast<Peer *>(u);
    g_last_called = me;
    me->calls++;
    Peer *o = me->other;
    if (!o)
        return;
    uloop_fd_delete(&o->u);
    o->other = nullptr;
    if (me->free_other) {
        delete o;
        me->other = nullptr;
        return;
    }
    // Kept alive but poisoned: a stale batch entry would call this.
    o->u.cb = [](uloop_fd *x, unsigned int) { (*reinterpret_cast<Peer *>(x)->stale)++; };
}

TEST_F(Descriptors, DeletingAnotherReadyDescriptorInTheSameBatch)
{
    Pipe p1, p2;
    int stale = 0;
    Peer a{}, b{};
    a.other = &b;
    b.other = &a;
    a.stale = b.stale = &stale;
    a.u.fd = p1.r;
    b.u.fd = p2.r;
    a.u.cb = b.u.cb = peer_ready;
    ASSERT_EQ(uloop_fd_add(&a.u, ULOOP_READ | ULOOP_EDGE_TRIGGER), 0);
    ASSERT_EQ(uloop_fd_add(&b.u, ULOOP_READ | ULOOP_EDGE_TRIGGER), 0);
    p1.put();
    p2.put();

    run_for(40);
    EXPECT_EQ(a.calls + b.calls, 1);
    EXPECT_EQ(stale, 0);
    EXPECT_NE(a.u.registered, b.u.registered);
}

TEST_F(Descriptors, DeletingAndFreeingAnotherReadyDescriptor)
{
    Pipe p1, p2;
    auto *a = new Peer{};
    auto *b = new Peer{};
    a->other = b;
    b->other = a;
    a->free_other = b->free_other = true;
    a->u.fd = p1.r;
    b->u.fd = p2.r;
    a->u.cb = b->u.cb = peer_ready;
    ASSERT_EQ(uloop_fd_add(&a->u, ULOOP_READ | ULOOP_EDGE_TRIGGER), 0);
    ASSERT_EQ(uloop_fd_add(&b->u, ULOOP_READ | ULOOP_EDGE_TRIGGER), 0);
    p1.put();
    p2.put();

    g_last_called = nullptr;
    run_for(40);
    Peer *left = g_last_called;
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left->calls, 1);
    uloop_fd_delete(&left->u);
    delete left;
}

TEST_F(Descriptors, EofKeepsTheDescriptorHangupDeletesIt)
{
    Pair half;
    Watch w{};
    watch(w, half.a, ULOOP_READ);
    shutdown(half.b, SHUT_WR);
    uloop_run();
    EXPECT_TRUE(w.eof_seen);
    EXPECT_FALSE(w.error_seen);
    EXPECT_TRUE(w.u.registered);
    uloop_fd_delete(&w.u);

    Pair gone;
    Watch h{};
    watch(h, gone.a, ULOOP_READ);
    close(gone.b);
    gone.b = -1;
    uloop_run();
    EXPECT_TRUE(h.error_seen);
    EXPECT_TRUE(h.eof_seen);
    EXPECT_FALSE(h.registered_seen);  // deleted before its callback ran
    EXPECT_FALSE(h.u.registered);

    Pair kept;
    Watch k{};
    watch(k, kept.a, ULOOP_READ | ULOOP_ERROR_CB);
    close(kept.b);
    kept.b = -1;
    uloop_run();
    EXPECT_TRUE(k.error_seen);
    EXPECT_TRUE(k.u.registered);  // the callback decides
    EXPECT_EQ(uloop_fd_delete(&k.u), 0);
}

TEST_F(Descriptors, AddingABadDescriptorFails)
{
    Watch w{};
    w.u.fd = -1;
    w.u.cb = on_ready;
    EXPECT_LT(uloop_fd_add(&w.u, ULOOP_READ), 0);
    EXPECT_FALSE(w.u.registered);
    EXPECT_EQ(uloop_fd_delete(&w.u), 0);  // deleting the unregistered is harmless
}

// A callback that runs a nested loop: further events of the same
// edge-triggered descriptor wait for the outer callback instead of
// re-entering it.
struct Nested {
    uloop_fd u{};
    int depth = 0, max_depth = 0, calls = 0;
    int writer = -1;
};

TEST_F(Descriptors, NestedRunBuffersEdgeEventsForTheRunningCallback)
{
    Pipe p;
    Nested n{};
    n.writer = p.w;
    n.u.fd = p.r;
    n.u.cb = [](uloop_fd *u, unsigned int) {
        auto *me = reinterpret_cast<Nested *>(u);
        char buf[16];
        while (read(u->fd, buf, sizeof(buf)) > 0) {
        }
        me->calls++;
        me->depth++;
        me->max_depth = me->depth > me->max_depth ? me->depth : me->max_depth;
        if (me->calls == 1) {
            EXPECT_EQ(write(me->writer, "z", 1), 1);
            uloop_run_timeout(30);
        } else {
            uloop_end();
        }
        me->depth--;
    };
    ASSERT_EQ(uloop_fd_add(&n.u, ULOOP_READ | ULOOP_EDGE_TRIGGER), 0);
    p.put();
    run_for(200);
    EXPECT_EQ(n.calls, 2);
    EXPECT_EQ(n.max_depth, 1);
}

} // namespace
