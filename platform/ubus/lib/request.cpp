// Requests: sending them, matching replies by sequence number and peer,
// the synchronous wait, calls and replies.
#include "libubus_int.h"

#include <cstdlib>
#include <ctime>
#include <unistd.h>

using namespace ubus_int;

namespace {

// Reply data that arrived while the request's handler was running.
struct pending_data {
    list_head list;
    int type;
    blob_attr data[];
};

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void req_data_cb(ubus_request *req, int type, blob_attr *data)
{
    if (req->raw_data_cb)
        req->raw_data_cb(req, type, data);
    if (!req->data_cb)
        return;
    blob_attr *tb[UBUS_ATTR_MAX];
    ubus_wire::parse(data, tb);
    req->data_cb(req, type, tb[UBUS_ATTR_DATA]);
}

void flush_req_data(ubus_request *req)
{
    while (!list_empty(&req->pending)) {
        auto *d = list_first_entry(&req->pending, pending_data, list);
        list_del(&d->list);
        if (!req->cancelled)
            req_data_cb(req, d->type, d->data);
        free(d);
    }
}

void req_complete_cb(ubus_request *req)
{
    ubus_complete_handler_t cb = req->complete_cb;
    if (!cb)
        return;
    req->complete_cb = nullptr;
    cb(req, req->status_code);
}

void set_req_status(ubus_request *req, int ret)
{
    if (!list_empty(&req->list))
        list_del_init(&req->list);
    req->status_msg = true;
    req->status_code = ret;
    if (!req->blocked)
        req_complete_cb(req);
}

void sync_req_cb(ubus_request *req, int ret)
{
    req->status_msg = true;
    req->status_code = ret;
    req->ctx->cancel_poll = true;
}

void process_req_data(ubus_request *req, ubus_msghdr_buf *buf)
{
    if (!req->blocked) {
        req->blocked = true;
        req_data_cb(req, buf->hdr.type, buf->data);
        flush_req_data(req);
        req->blocked = false;
        if (req->status_msg)
            req_complete_cb(req);
        return;
    }
    // The handler is running further up (it made a call of its own):
    // keep the data for when it returns.
    size_t len = blob_raw_len(buf->data);
    auto *d = static_cast<pending_data *>(calloc(1, sizeof(pending_data) + len));
    if (!d)
        return;
    d->type = buf->hdr.type;
    memcpy(d->data, buf->data, len);
    list_add_tail(&d->list, &req->pending);
}

// A notification's answers come from each subscriber in turn: *id is the
// index of the one that answered, -1 for any other request.
ubus_request *find_request(ubus_context *ctx, uint16_t seq, uint32_t peer, int *id)
{
    ubus_request *req;
    list_for_each_entry(req, &ctx->requests, list) {
        if (req->seq != seq)
            continue;
        if (!req->notify) {
            if (req->peer == peer)
                return req;
            continue;
        }
        *id = notify_index(container_of(req, ubus_notify_request, req), peer);
        if (*id >= 0)
            return req;
    }
    return nullptr;
}

} // namespace

namespace ubus_int {

void put_data(blob_buf &b, blob_attr *msg)
{
    if (msg)
        blob_put(&b, UBUS_ATTR_DATA, blob_data(msg), static_cast<unsigned int>(blob_len(msg)));
    else
        blob_put(&b, UBUS_ATTR_DATA, nullptr, 0);
}

void set_status(ubus_request *req, int ret)
{
    set_req_status(req, ret);
}

int start_request(ubus_context *ctx, ubus_request *req, blob_attr *msg, int type,
                  uint32_t peer)
{
    INIT_LIST_HEAD(&req->list);
    INIT_LIST_HEAD(&req->pending);
    req->ctx = ctx;
    req->peer = peer;
    if (msg && blob_pad_len(msg) > UBUS_MAX_MSGLEN)
        return UBUS_STATUS_INVALID_ARGUMENT;
    req->seq = ++ctx->request_seq;
    if (send_msg(ctx, req->seq, msg, type, peer) < 0)
        return UBUS_STATUS_CONNECTION_FAILED;
    return 0;
}

void process_req_msg(ubus_context *ctx, ubus_msghdr_buf *buf)
{
    int id = -1;
    ubus_request *req = find_request(ctx, buf->hdr.seq, buf->hdr.peer, &id);
    if (!req)
        return;

    if (buf->hdr.type == UBUS_MSG_STATUS && id >= 0) {
        notify_status(container_of(req, ubus_notify_request, req), id, buf->data);
    } else if (buf->hdr.type == UBUS_MSG_STATUS) {
        blob_attr *tb[UBUS_ATTR_MAX];
        ubus_wire::parse(buf->data, tb);
        int ret = UBUS_STATUS_INVALID_ARGUMENT;
        if (tb[UBUS_ATTR_STATUS])
            ret = static_cast<int>(blob_get_u32(tb[UBUS_ATTR_STATUS]));
        req->peer = buf->hdr.peer;
        set_req_status(req, ret);
    } else if (req->data_cb || req->raw_data_cb) {
        process_req_data(req, buf);
    }
}

} // namespace ubus_int

extern "C" {

void ubus_complete_request_async(struct ubus_context *ctx, struct ubus_request *req)
{
    if (!list_empty(&req->list))
        return;
    list_add(&req->list, &ctx->requests);
}

void ubus_abort_request(struct ubus_context *, struct ubus_request *req)
{
    if (list_empty(&req->list))
        return;
    req->cancelled = true;
    flush_req_data(req);
    list_del_init(&req->list);
}

int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int req_timeout)
{
    ubus_complete_handler_t complete_cb = req->complete_cb;
    int status = UBUS_STATUS_NO_DATA;
    int64_t time_end = req_timeout ? now_ms() + req_timeout : 0;
    uint32_t gen = ctx->conn_gen;

    ubus_complete_request_async(ctx, req);
    req->complete_cb = sync_req_cb;

    ctx->stack_depth++;
    while (!req->status_msg) {
        int timeout = 0;
        if (req_timeout) {
            int64_t left = time_end - now_ms();
            if (left <= 0) {
                set_req_status(req, UBUS_STATUS_TIMEOUT);
                break;
            }
            timeout = static_cast<int>(left);
        }
        if (ctx->sock.fd >= 0 && !ctx->sock.eof && ctx->conn_gen == gen)
            poll_data(ctx, timeout);
        if (req->status_msg)
            break;
        // The daemon went away, or a handler reconnected under this call:
        // its reply can no longer come.
        if (ctx->sock.fd < 0 || ctx->sock.eof || ctx->conn_gen != gen) {
            set_req_status(req, UBUS_STATUS_CONNECTION_FAILED);
            ctx->cancel_poll = true;
            break;
        }
    }
    ctx->stack_depth--;
    if (ctx->stack_depth)
        ctx->cancel_poll = true;

    if (req->status_msg)
        status = req->status_code;

    req->complete_cb = complete_cb;
    if (req->complete_cb)
        req->complete_cb(req, status);

    if (!ctx->stack_depth && !ctx->sock.registered)
        process_pending(&ctx->pending_timer);

    return status;
}

void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req,
                                    int ret)
{
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_STATUS, static_cast<uint32_t>(ret));
    blob_put_int32(&b, UBUS_ATTR_OBJID, req->object);
    send_msg(ctx, req->seq, b.head, UBUS_MSG_STATUS, req->peer);
    if (req->fd >= 0) {
        close(req->fd);
        req->fd = -1;
    }
}

int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req,
                    struct blob_attr *msg)
{
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, req->object);
    put_data(b, msg);
    if (blob_pad_len(b.head) > UBUS_MAX_MSGLEN)
        return UBUS_STATUS_INVALID_ARGUMENT;
    if (send_msg(ctx, req->seq, b.head, UBUS_MSG_DATA, req->peer) < 0)
        return UBUS_STATUS_NO_DATA;
    return 0;
}

int ubus_invoke_async_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
                         struct blob_attr *msg, struct ubus_request *req, int fd)
{
    memset(req, 0, sizeof(*req));
    req->fd = -1;
    INIT_LIST_HEAD(&req->list);
    INIT_LIST_HEAD(&req->pending);
    if (fd >= 0) {
        close(fd);
        return UBUS_STATUS_NOT_SUPPORTED;
    }
    if (!method)
        return UBUS_STATUS_INVALID_ARGUMENT;

    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, obj);
    blob_put_string(&b, UBUS_ATTR_METHOD, method);
    put_data(b, msg);
    return start_request(ctx, req, b.head, UBUS_MSG_INVOKE, obj);
}

int ubus_invoke_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
                   struct blob_attr *msg, ubus_data_handler_t cb, void *priv,
                   int timeout, int fd)
{
    ubus_request req;
    int rc = ubus_invoke_async_fd(ctx, obj, method, msg, &req, fd);
    if (rc)
        return rc;
    req.data_cb = cb;
    req.priv = priv;
    return ubus_complete_request(ctx, &req, timeout);
}

} // extern "C"
