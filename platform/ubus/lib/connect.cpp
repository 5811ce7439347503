// Connections: the socket and the daemon's hello, reconnection, and the
// status texts.
#include "libubus_int.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace ubus_int;

namespace {

constexpr const char *STATUS_TEXT[__UBUS_STATUS_LAST] = {
    "Success",
    "Invalid command",
    "Invalid argument",
    "Method not found",
    "Not found",
    "No response",
    "Permission denied",
    "Request timed out",
    "Operation not supported",
    "Unknown error",
    "Connection failed",
};

int cmp_id(const void *k1, const void *k2, void *)
{
    uint32_t a = *static_cast<const uint32_t *>(k1);
    uint32_t b = *static_cast<const uint32_t *>(k2);
    return a < b ? -1 : a > b;
}

int open_socket(const char *path)
{
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof(sun.sun_path))
        return -1;
    strcpy(sun.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int r;
    do {
        r = connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun));
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool read_full(int fd, void *buf, size_t len)
{
    auto *p = static_cast<uint8_t *>(buf);
    while (len) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, HELLO_WAIT_MS) <= 0)
            return false;
        ssize_t n = recv(fd, p, len, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The daemon greets a new client with its id as the peer.
bool read_hello(int fd, uint32_t *id)
{
    uint8_t head[ubus_wire::HEAD_LEN];
    ubus_msghdr hdr;
    size_t raw;
    if (!read_full(fd, head, sizeof(head)) || !ubus_wire::check_head(head, &hdr, &raw))
        return false;
    if (hdr.type != UBUS_MSG_HELLO || !hdr.peer)
        return false;
    size_t rest = raw - sizeof(blob_attr);
    char skip[256];
    while (rest) {
        size_t n = rest < sizeof(skip) ? rest : sizeof(skip);
        if (!read_full(fd, skip, n))
            return false;
        rest -= n;
    }
    *id = hdr.peer;
    return true;
}

void close_socket(ubus_context *ctx)
{
    if (ctx->sock.registered)
        uloop_fd_delete(&ctx->sock);
    if (ctx->sock.fd >= 0)
        close(ctx->sock.fd);
    ctx->sock.fd = -1;
    free(ctx->msgbuf.data);
    ctx->msgbuf.data = nullptr;
    ctx->msgbuf_data_len = 0;
    ctx->rx_have = 0;
}

void default_connection_lost(ubus_context *ctx)
{
    if (ctx->sock.registered)
        uloop_end();
}

void auto_reconnect_cb(uloop_timeout *t)
{
    auto *conn = container_of(t, ubus_auto_conn, timer);
    if (!ubus_reconnect(&conn->ctx, conn->path))
        ubus_add_uloop(&conn->ctx);
    else
        uloop_timeout_set(t, 1000);
}

void auto_disconnect_cb(ubus_context *ctx)
{
    auto *conn = container_of(ctx, ubus_auto_conn, ctx);
    conn->timer.cb = auto_reconnect_cb;
    uloop_timeout_set(&conn->timer, 1000);
}

void auto_connect_cb(uloop_timeout *t)
{
    auto *conn = container_of(t, ubus_auto_conn, timer);
    if (ubus_connect_ctx(&conn->ctx, conn->path)) {
        uloop_timeout_set(t, 1000);
        fprintf(stderr, "failed to connect to ubus\n");
        return;
    }
    conn->ctx.connection_lost = auto_disconnect_cb;
    if (conn->cb)
        conn->cb(&conn->ctx);
    ubus_add_uloop(&conn->ctx);
}

} // namespace

namespace ubus_int {

const char *default_path()
{
    const char *env = getenv("HOST_UBUS_SOCKET");
    return env && *env ? env : UBUS_UNIX_SOCKET;
}

} // namespace ubus_int

extern "C" {

const char *ubus_strerror(int error)
{
    static char err[32];
    if (error >= 0 && error < __UBUS_STATUS_LAST)
        return STATUS_TEXT[error];
    snprintf(err, sizeof(err), "Unknown error: %d", error);
    return err;
}

int ubus_reconnect(struct ubus_context *ctx, const char *path)
{
    if (!path)
        path = default_path();

    close_socket(ctx);
    drop_pending(ctx);
    ctx->conn_gen++;
    ctx->sock.eof = false;
    ctx->sock.error = false;

    int fd = open_socket(path);
    if (fd < 0) {
        ctx->sock.eof = true;
        return UBUS_STATUS_CONNECTION_FAILED;
    }
    uint32_t id = 0;
    if (!read_hello(fd, &id)) {
        close(fd);
        ctx->sock.eof = true;
        return UBUS_STATUS_UNKNOWN_ERROR;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    ctx->sock.fd = fd;
    ctx->local_id = id;

    refresh_state(ctx);
    return UBUS_STATUS_OK;
}

int ubus_connect_ctx(struct ubus_context *ctx, const char *path)
{
    uloop_init();
    memset(ctx, 0, sizeof(*ctx));

    ctx->sock.fd = -1;
    ctx->sock.cb = handle_data;
    ctx->connection_lost = default_connection_lost;
    ctx->pending_timer.cb = process_pending;

    INIT_LIST_HEAD(&ctx->requests);
    INIT_LIST_HEAD(&ctx->pending);
    INIT_LIST_HEAD(&ctx->auto_subscribers);
    avl_init(&ctx->objects, cmp_id, false, nullptr);
    return ubus_reconnect(ctx, path) ? -1 : 0;
}

struct ubus_context *ubus_connect(const char *path)
{
    auto *ctx = static_cast<ubus_context *>(calloc(1, sizeof(ubus_context)));
    if (!ctx)
        return nullptr;
    if (ubus_connect_ctx(ctx, path)) {
        free(ctx);
        return nullptr;
    }
    return ctx;
}

void ubus_auto_connect(struct ubus_auto_conn *conn)
{
    conn->timer.cb = auto_connect_cb;
    auto_connect_cb(&conn->timer);
}

void ubus_shutdown(struct ubus_context *ctx)
{
    blob_buf_free(&scratch());
    if (!ctx)
        return;
    // The objects are left alone: their owner may have freed them already.
    close_socket(ctx);
    drop_pending(ctx);
}

void ubus_free(struct ubus_context *ctx)
{
    ubus_shutdown(ctx);
    free(ctx);
}

} // extern "C"
