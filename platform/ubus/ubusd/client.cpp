// Clients: reading whole messages from each without ever blocking on one,
// queueing what is sent to them, and dropping one alone when it misbehaves.
#include "ubusd.h"

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>

namespace ubusd {

namespace {

using ubus_wire::HDR_LEN;
using ubus_wire::HEAD_LEN;

// Messages handled per wake-up, so that one busy client cannot starve
// the others.
constexpr int READ_BUDGET = 32;

std::unordered_map<uint32_t, std::unique_ptr<client>> g_clients;
// Dropped clients whose objects and calls are cleaned up from the loop,
// never from inside a handler that may still hold them.
std::vector<client *> g_dead;

void reap(uloop_timeout *)
{
    while (!g_dead.empty()) {
        client *cl = g_dead.back();
        g_dead.pop_back();
        objects_drop(cl);
        calls_drop_caller(cl->id);
        monitor_drop(cl->id);
        g_clients.erase(cl->id);
    }
}

uloop_timeout g_reaper = {{nullptr, nullptr}, false, reap, {0, 0}};

// Names as the router's daemon gives them to the objects a client calls;
// a number where the system has no name for it.
void peer_identity(client *cl)
{
    ucred cred{};
    socklen_t len = sizeof(cred);
    cl->uid = static_cast<uid_t>(-1);
    cl->gid = static_cast<gid_t>(-1);
    if (getsockopt(cl->sock.fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
        cl->uid = cred.uid;
        cl->gid = cred.gid;
    }
    const passwd *pw = getpwuid(cl->uid);
    const group *gr = getgrgid(cl->gid);
    cl->user = pw ? pw->pw_name : std::to_string(cl->uid);
    cl->group = gr ? gr->gr_name : std::to_string(cl->gid);
}

void want_write(client *cl, bool on)
{
    uloop_fd_add(&cl->sock, ULOOP_READ | ULOOP_ERROR_CB | (on ? ULOOP_WRITE : 0));
}

// Sends what the queue holds; false once the client is gone.
bool flush(client *cl)
{
    while (!cl->txq.empty()) {
        std::vector<uint8_t> &front = cl->txq.front();
        ssize_t n = send(cl->sock.fd, front.data() + cl->tx_off, front.size() - cl->tx_off,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            client_drop(cl);
            return false;
        }
        cl->tx_off += static_cast<size_t>(n);
        cl->tx_bytes -= static_cast<size_t>(n);
        if (cl->tx_off == front.size()) {
            cl->txq.pop_front();
            cl->tx_off = 0;
        }
    }
    want_write(cl, false);
    return true;
}

struct client_body {
    std::vector<uint8_t> &buf;
    uint8_t *start(const ubus_msghdr &, size_t raw)
    {
        buf.resize(raw);
        return buf.data();
    }
    uint8_t *data() { return buf.data(); }
    size_t size() const { return buf.size(); }
};

// 1: a whole message is in m; 0: not yet; -1: drop the client.
int read_msg(client *cl, msg &m)
{
    client_body body{cl->body};
    int r = ubus_wire::read_frame(cl->sock.fd, cl->head, cl->have, body);
    if (r != 1)
        return r;
    m.hdr = ubus_wire::get_head(cl->head);
    m.data = reinterpret_cast<blob_attr *>(cl->body.data());
    ubus_wire::parse(m.data, m.tb);
    return 1;
}

void client_cb(uloop_fd *u, unsigned int events)
{
    client *cl = container_of(u, client, sock);

    if ((events & ULOOP_WRITE) && !flush(cl))
        return;
    for (int i = 0; i < READ_BUDGET && !cl->dead; i++) {
        msg m;
        int r = read_msg(cl, m);
        if (r < 0) {
            client_drop(cl);
            return;
        }
        if (r == 0)
            break;
        monitor_message(cl, m.hdr, m.data, false);
        proto_handle(cl, m);
        // The body is reused for the next message; a big one is let go.
        if (cl->body.capacity() > UBUS_MSG_CHUNK_SIZE)
            std::vector<uint8_t>().swap(cl->body);
    }
}

} // namespace

void client_accept(int fd)
{
    auto cl = std::make_unique<client>();
    cl->id = alloc_id();
    cl->sock.fd = fd;
    cl->sock.cb = client_cb;
    cl->dead = false;
    cl->have = 0;
    cl->tx_off = 0;
    cl->tx_bytes = 0;
    cl->patterns = 0;
    peer_identity(cl.get());
    client *c = cl.get();
    g_clients.emplace(c->id, std::move(cl));
    want_write(c, false);

    ubus_msghdr hdr{};
    hdr.type = UBUS_MSG_HELLO;
    hdr.peer = c->id;
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    client_send(c, hdr, b.head);
}

client *client_get(uint32_t id)
{
    auto it = g_clients.find(id);
    return it == g_clients.end() || it->second->dead ? nullptr : it->second.get();
}

void client_send(client *cl, const ubus_msghdr &hdr, const blob_attr *data)
{
    if (!cl || cl->dead)
        return;
    monitor_message(cl, hdr, data, true);
    size_t raw = blob_raw_len(data);
    if (cl->tx_bytes + HDR_LEN + raw > TXQ_MAX) {
        fprintf(stderr, "ubusd: client %08x does not read, dropped\n", cl->id);
        client_drop(cl);
        return;
    }
    std::vector<uint8_t> frame(HDR_LEN + raw);
    ubus_wire::put_head(frame.data(), hdr);
    memcpy(frame.data() + HDR_LEN, data, raw);
    bool idle = cl->txq.empty();
    cl->tx_bytes += frame.size();
    cl->txq.push_back(std::move(frame));
    if (idle && flush(cl) && !cl->txq.empty())
        want_write(cl, true);
}

void client_drop(client *cl)
{
    if (cl->dead)
        return;
    cl->dead = true;
    uloop_fd_delete(&cl->sock);
    close(cl->sock.fd);
    cl->sock.fd = -1;
    cl->txq.clear();
    cl->tx_bytes = 0;
    g_dead.push_back(cl);
    uloop_timeout_set(&g_reaper, 0);
}

void clients_free()
{
    for (auto &it : g_clients)
        client_drop(it.second.get());
    reap(&g_reaper);
    uloop_timeout_cancel(&g_reaper);
}

} // namespace ubusd
