// Objects: adding and removing them, looking them up, and serving the
// calls that arrive for them.
#include "libubus_int.h"

#include <cstdlib>
#include <vector>

using namespace ubus_int;

namespace {

struct pending_msg {
    list_head list;
    ubus_msghdr_buf buf;
};

void process_invoke(ubus_context *ctx, const ubus_msghdr &hdr, ubus_object *obj,
                    blob_attr **tb)
{
    ubus_request_data req{};
    req.fd = -1;
    req.req_fd = -1;
    // Set before any check, so that even a refusal reaches the caller.
    req.peer = hdr.peer;
    req.seq = hdr.seq;
    req.object = blob_get_u32(tb[UBUS_ATTR_OBJID]);
    if (obj && tb[UBUS_ATTR_USER] && tb[UBUS_ATTR_GROUP]) {
        req.acl.user = blob_get_string(tb[UBUS_ATTR_USER]);
        req.acl.group = blob_get_string(tb[UBUS_ATTR_GROUP]);
        req.acl.object = obj->name;
    }

    bool no_reply = tb[UBUS_ATTR_NO_REPLY] && blob_get_int8(tb[UBUS_ATTR_NO_REPLY]);
    const char *method = tb[UBUS_ATTR_METHOD] ? blob_get_string(tb[UBUS_ATTR_METHOD]) : nullptr;
    const ubus_method *m = nullptr;
    int ret;

    if (!obj) {
        ret = UBUS_STATUS_NOT_FOUND;
    } else if (!method) {
        ret = UBUS_STATUS_INVALID_ARGUMENT;
    } else {
        for (int i = 0; i < obj->n_methods && !m; i++)
            if (!obj->methods[i].name || !strcmp(obj->methods[i].name, method))
                m = &obj->methods[i];
        if (!m)
            ret = UBUS_STATUS_METHOD_NOT_FOUND;
        else if (!tb[UBUS_ATTR_DATA])
            ret = UBUS_STATUS_INVALID_ARGUMENT;
        else if (!m->handler)
            ret = UBUS_STATUS_NOT_SUPPORTED;
        else
            ret = m->handler(ctx, obj, &req, method, tb[UBUS_ATTR_DATA]);
    }
    if (req.deferred || no_reply)
        return;
    ubus_complete_deferred_request(ctx, &req, ret);
}

void add_object_cb(ubus_request *req, int, blob_attr *msg)
{
    auto *obj = static_cast<ubus_object *>(req->priv);
    blob_attr *tb[UBUS_ATTR_MAX];
    ubus_wire::parse(msg, tb);
    if (!tb[UBUS_ATTR_OBJID] || obj->id)
        return;
    obj->id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
    if (tb[UBUS_ATTR_OBJTYPE] && obj->type)
        obj->type->id = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
    obj->avl.key = &obj->id;
    avl_insert(&req->ctx->objects, &obj->avl);
}

void forget_object(ubus_context *ctx, ubus_object *obj)
{
    if (!obj->id)
        return;
    avl_delete(&ctx->objects, &obj->avl);
    obj->id = 0;
}

void remove_object_cb(ubus_request *req, int, blob_attr *msg)
{
    auto *obj = static_cast<ubus_object *>(req->priv);
    blob_attr *tb[UBUS_ATTR_MAX];
    ubus_wire::parse(msg, tb);
    if (!tb[UBUS_ATTR_OBJID])
        return;
    forget_object(req->ctx, obj);
    // The daemon names the type when its last object went.
    if (tb[UBUS_ATTR_OBJTYPE] && obj->type)
        obj->type->id = 0;
}

void push_signature(blob_buf &b, const ubus_object_type *type)
{
    void *s = blob_nest_start(&b, UBUS_ATTR_SIGNATURE);
    for (int i = 0; i < type->n_methods; i++) {
        const ubus_method &m = type->methods[i];
        if (!m.name)
            continue;
        void *t = blobmsg_open_table(&b, m.name);
        for (int j = 0; j < m.n_policy; j++) {
            if (m.mask && !(m.mask & (1ul << j)))
                continue;
            blobmsg_add_u32(&b, m.policy[j].name, m.policy[j].type);
        }
        blobmsg_close_table(&b, t);
    }
    blob_nest_end(&b, s);
}

struct lookup_request {
    ubus_request req;
    ubus_lookup_handler_t cb;
};

void lookup_cb(ubus_request *ureq, int, blob_attr *msg)
{
    auto *req = container_of(ureq, lookup_request, req);
    blob_attr *tb[UBUS_ATTR_MAX];
    ubus_wire::parse(msg, tb);
    if (!tb[UBUS_ATTR_OBJID] || !tb[UBUS_ATTR_OBJPATH] || !tb[UBUS_ATTR_OBJTYPE])
        return;
    ubus_object_data obj{};
    obj.id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
    obj.path = blob_get_string(tb[UBUS_ATTR_OBJPATH]);
    obj.type_id = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
    obj.signature = tb[UBUS_ATTR_SIGNATURE];
    req->cb(ureq->ctx, &obj, ureq->priv);
}

void lookup_id_cb(ubus_request *req, int, blob_attr *msg)
{
    blob_attr *tb[UBUS_ATTR_MAX];
    ubus_wire::parse(msg, tb);
    if (tb[UBUS_ATTR_OBJID])
        *static_cast<uint32_t *>(req->priv) = blob_get_u32(tb[UBUS_ATTR_OBJID]);
}

int start_lookup(ubus_context *ctx, ubus_request *req, const char *path)
{
    memset(req, 0, sizeof(*req));
    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    if (path)
        blob_put_string(&b, UBUS_ATTR_OBJPATH, path);
    return start_request(ctx, req, b.head, UBUS_MSG_LOOKUP, 0);
}

} // namespace

namespace ubus_int {

void process_obj_msg(ubus_context *ctx, ubus_msghdr_buf *buf)
{
    blob_attr *tb[UBUS_ATTR_MAX];
    ubus_wire::parse(buf->data, tb);
    if (!tb[UBUS_ATTR_OBJID])
        return;
    uint32_t id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
    // avl_find_element needs typeof, which C++17 lacks.
    avl_node *n = avl_find(&ctx->objects, &id);
    ubus_object *obj = n ? container_of(n, ubus_object, avl) : nullptr;
    switch (buf->hdr.type) {
    case UBUS_MSG_INVOKE:
        process_invoke(ctx, buf->hdr, obj, tb);
        break;
    case UBUS_MSG_UNSUBSCRIBE:
        process_unsubscribe(ctx, obj, tb);
        break;
    case UBUS_MSG_NOTIFY:
        process_notify(ctx, obj, tb);
        break;
    }
}

void queue_msg(ubus_context *ctx, ubus_msghdr_buf *buf)
{
    auto *p = static_cast<pending_msg *>(calloc(1, sizeof(pending_msg)));
    if (!p) {
        free(buf->data);
        buf->data = nullptr;
        return;
    }
    p->buf = *buf;
    buf->data = nullptr;
    list_add_tail(&p->list, &ctx->pending);
    if (ctx->sock.registered)
        uloop_timeout_set(&ctx->pending_timer, 1);
}

void process_pending(uloop_timeout *t)
{
    ubus_context *ctx = container_of(t, ubus_context, pending_timer);
    while (!ctx->stack_depth && !list_empty(&ctx->pending)) {
        auto *p = list_first_entry(&ctx->pending, pending_msg, list);
        list_del(&p->list);
        process_msg(ctx, &p->buf);
        free(p);
    }
}

void drop_pending(ubus_context *ctx)
{
    uloop_timeout_cancel(&ctx->pending_timer);
    while (!list_empty(&ctx->pending)) {
        auto *p = list_first_entry(&ctx->pending, pending_msg, list);
        list_del(&p->list);
        free(p->buf.data);
        free(p);
    }
}

void refresh_state(ubus_context *ctx)
{
    std::vector<ubus_object *> objs;
    ubus_object *obj, *tmp;

    // Type ids belonged to the old daemon.
    avl_for_each_element(&ctx->objects, obj, avl)
        if (obj->type)
            obj->type->id = 0;
    if (ctx->objects.count) {
        avl_remove_all_elements(&ctx->objects, obj, avl, tmp) {
            objs.push_back(obj);
            obj->id = 0;
        }
    }
    for (ubus_object *o : objs)
        ubus_add_object(ctx, o);
}

} // namespace ubus_int

extern "C" {

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj)
{
    if (obj->id)
        return UBUS_STATUS_INVALID_ARGUMENT;

    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    if (obj->name && obj->type) {
        blob_put_string(&b, UBUS_ATTR_OBJPATH, obj->name);
        if (obj->type->id)
            blob_put_int32(&b, UBUS_ATTR_OBJTYPE, obj->type->id);
        else
            push_signature(b, obj->type);
    }

    ubus_request req{};
    int ret = start_request(ctx, &req, b.head, UBUS_MSG_ADD_OBJECT, 0);
    if (ret)
        return ret;
    req.raw_data_cb = add_object_cb;
    req.priv = obj;
    ret = ubus_complete_request(ctx, &req, 0);
    if (ret)
        return ret;
    return obj->id ? 0 : UBUS_STATUS_NO_DATA;
}

int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj)
{
    if (!obj->id)
        return UBUS_STATUS_INVALID_ARGUMENT;

    blob_buf &b = scratch();
    blob_buf_init(&b, 0);
    blob_put_int32(&b, UBUS_ATTR_OBJID, obj->id);

    ubus_request req{};
    int ret = start_request(ctx, &req, b.head, UBUS_MSG_REMOVE_OBJECT, 0);
    if (!ret) {
        req.raw_data_cb = remove_object_cb;
        req.priv = obj;
        ret = ubus_complete_request(ctx, &req, 0);
    }
    // Without a connection the daemon has dropped the object already; a
    // later reconnect must not bring it back.
    if (ret == UBUS_STATUS_CONNECTION_FAILED)
        forget_object(ctx, obj);
    if (ret)
        return ret;
    return obj->id ? UBUS_STATUS_NO_DATA : 0;
}

int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb,
                void *priv)
{
    lookup_request lookup;
    int ret = start_lookup(ctx, &lookup.req, path);
    if (ret)
        return ret;
    lookup.req.raw_data_cb = lookup_cb;
    lookup.req.priv = priv;
    lookup.cb = cb;
    return ubus_complete_request(ctx, &lookup.req, 0);
}

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id)
{
    ubus_request req;
    int ret = start_lookup(ctx, &req, path);
    if (ret)
        return ret;
    req.raw_data_cb = lookup_id_cb;
    req.priv = id;
    return ubus_complete_request(ctx, &req, 0);
}

} // extern "C"
