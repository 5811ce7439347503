// The socket: sending whole messages, receiving them piece by piece as the
// bytes arrive, and dispatching them by type.
#include "libubus_int.h"

#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

using namespace ubus_int;
using ubus_wire::HDR_LEN;
using ubus_wire::HEAD_LEN;

namespace {

bool wait_writable(int fd)
{
    pollfd p{fd, POLLOUT, 0};
    int r;
    do {
        r = poll(&p, 1, SEND_WAIT_MS);
    } while (r < 0 && errno == EINTR);
    return r > 0 && !(p.revents & (POLLERR | POLLNVAL));
}

int write_all(int fd, iovec *iov, int n)
{
    msghdr mh{};
    while (n > 0) {
        mh.msg_iov = iov;
        mh.msg_iovlen = static_cast<size_t>(n);
        ssize_t w = sendmsg(fd, &mh, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(fd))
                continue;
            return -1;
        }
        size_t done = static_cast<size_t>(w);
        while (n > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            iov++;
            n--;
        }
        if (n > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return 0;
}

void reset_rx(ubus_context *ctx)
{
    free(ctx->msgbuf.data);
    ctx->msgbuf.data = nullptr;
    ctx->msgbuf_data_len = 0;
    ctx->rx_have = 0;
}

// The message being read lives in the context, as the router's does.
struct ctx_body {
    ubus_context *ctx;
    uint8_t *start(const ubus_msghdr &hdr, size_t raw)
    {
        ctx->msgbuf.hdr = hdr;
        ctx->msgbuf.data = static_cast<blob_attr *>(malloc(raw));
        ctx->msgbuf_data_len = ctx->msgbuf.data ? static_cast<uint32_t>(raw) : 0;
        return data();
    }
    uint8_t *data() { return reinterpret_cast<uint8_t *>(ctx->msgbuf.data); }
    size_t size() const { return ctx->msgbuf_data_len; }
};

// 1: a whole message is in *out (its data is the caller's); 0: not yet;
// -1: the connection ended or sent something that is not a message.
int read_msg(ubus_context *ctx, ubus_msghdr_buf *out)
{
    ctx_body body{ctx};
    int r = ubus_wire::read_frame(ctx->sock.fd, ctx->rx_head, ctx->rx_have, body);
    if (r != 1)
        return r;
    out->hdr = ctx->msgbuf.hdr;
    out->data = ctx->msgbuf.data;
    ctx->msgbuf.data = nullptr;
    ctx->msgbuf_data_len = 0;
    return 1;
}

} // namespace

namespace ubus_int {

blob_buf &scratch()
{
    static blob_buf b;
    return b;
}

int send_msg(ubus_context *ctx, uint16_t seq, blob_attr *msg, int type, uint32_t peer)
{
    ubus_msghdr hdr{};
    hdr.type = static_cast<uint8_t>(type);
    hdr.seq = seq;
    hdr.peer = peer;
    hdr = ubus_wire::byte_order(hdr);

    blob_attr empty;
    if (!msg) {
        blob_set_raw_len(&empty, sizeof(empty));
        msg = &empty;
    }
    iovec iov[2] = {{&hdr, HDR_LEN}, {msg, blob_raw_len(msg)}};
    if (ctx->sock.fd < 0 || write_all(ctx->sock.fd, iov, 2) < 0) {
        ctx->sock.eof = true;
        return -1;
    }
    return 0;
}

void handle_data(uloop_fd *u, unsigned int)
{
    ubus_context *ctx = container_of(u, ubus_context, sock);

    for (;;) {
        if (!ctx->stack_depth)
            process_pending(&ctx->pending_timer);
        if (u->fd < 0)
            break;
        ubus_msghdr_buf buf;
        int r = read_msg(ctx, &buf);
        if (r < 0) {
            reset_rx(ctx);
            u->eof = true;
        }
        if (r <= 0)
            break;
        process_msg(ctx, &buf);
        if (uloop_cancelling() || ctx->cancel_poll)
            break;
    }
    if (!ctx->stack_depth)
        process_pending(&ctx->pending_timer);

    if (u->eof && ctx->connection_lost)
        ctx->connection_lost(ctx);
}

void poll_data(ubus_context *ctx, int timeout)
{
    pollfd p{ctx->sock.fd, POLLIN, 0};
    ctx->cancel_poll = false;
    poll(&p, 1, timeout ? timeout : -1);
    handle_data(&ctx->sock, ULOOP_READ);
}

void process_msg(ubus_context *ctx, ubus_msghdr_buf *buf)
{
    switch (buf->hdr.type) {
    case UBUS_MSG_STATUS:
    case UBUS_MSG_DATA:
        process_req_msg(ctx, buf);
        break;
    case UBUS_MSG_INVOKE:
    case UBUS_MSG_UNSUBSCRIBE:
    case UBUS_MSG_NOTIFY:
        // A synchronous call is waiting further up: the call is served
        // once it returns, as the router's library does.
        if (ctx->stack_depth) {
            queue_msg(ctx, buf);
            return;
        }
        process_obj_msg(ctx, buf);
        break;
    case UBUS_MSG_MONITOR:
        if (ctx->monitor_cb)
            ctx->monitor_cb(ctx, buf->hdr.seq, buf->data);
        break;
    }
    free(buf->data);
    buf->data = nullptr;
}

} // namespace ubus_int
