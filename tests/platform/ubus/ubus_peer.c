/*
 * A bus peer for the tests, written as the router's C services are. As a
 * callee it serves one object (-o NAME, default "test"); with -e PATTERN it
 * prints the events it receives; with -c N it is a caller making N echo
 * calls and checking each reply; with -r it reconnects like the agent does.
 * It prints "subscribers N" when it gains its first or loses its last
 * subscriber.
 * It prints "ready" once set up.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <libubox/blobmsg_json.h>
#include <libubus.h>

#define MAX_DEFERRED 64
#define MAX_EVENTS 8

static struct ubus_context *ctx;
static struct blob_buf b;
static const char *sock_path;
static bool reconnect_mode;

struct deferred {
	struct uloop_timeout timer;
	struct ubus_request_data req;
	int ms;
	char tag[64];
	bool used;
};
static struct deferred deferred[MAX_DEFERRED];

static struct ubus_event_handler handlers[MAX_EVENTS];
static const char *patterns[MAX_EVENTS];
static int n_patterns;

enum { ARG_MS, ARG_TAG, ARG_STATUS, ARG_SIZE, ARG_N, ARG_EVENT, __ARG_MAX };
static const struct blobmsg_policy policy[__ARG_MAX] = {
	[ARG_MS] = { .name = "ms", .type = BLOBMSG_TYPE_INT32 },
	[ARG_TAG] = { .name = "tag", .type = BLOBMSG_TYPE_STRING },
	[ARG_STATUS] = { .name = "status", .type = BLOBMSG_TYPE_INT32 },
	[ARG_SIZE] = { .name = "size", .type = BLOBMSG_TYPE_INT32 },
	[ARG_N] = { .name = "n", .type = BLOBMSG_TYPE_INT32 },
	[ARG_EVENT] = { .name = "event", .type = BLOBMSG_TYPE_STRING },
};

/* one argument of every type, only for its signature in listings */
static const struct blobmsg_policy types_policy[] = {
	{ .name = "b", .type = BLOBMSG_TYPE_BOOL },
	{ .name = "a", .type = BLOBMSG_TYPE_ARRAY },
	{ .name = "t", .type = BLOBMSG_TYPE_TABLE },
	{ .name = "i64", .type = BLOBMSG_TYPE_INT64 },
	{ .name = "i16", .type = BLOBMSG_TYPE_INT16 },
	{ .name = "d", .type = BLOBMSG_TYPE_DOUBLE },
	{ .name = "u", .type = BLOBMSG_TYPE_UNSPEC },
};

static void parse(struct blob_attr *msg, struct blob_attr **tb)
{
	blobmsg_parse(policy, __ARG_MAX, tb, blob_data(msg), blob_len(msg));
}

static int get_int(struct blob_attr **tb, int arg, int def)
{
	return tb[arg] ? (int) blobmsg_get_u32(tb[arg]) : def;
}

static int do_echo(struct ubus_context *c, struct ubus_object *obj,
		   struct ubus_request_data *req, const char *method,
		   struct blob_attr *msg)
{
	(void) obj; (void) method;
	return ubus_send_reply(c, req, msg);
}

static int do_hang(struct ubus_context *c, struct ubus_object *obj,
		   struct ubus_request_data *req, const char *method,
		   struct blob_attr *msg)
{
	struct ubus_request_data dropped;
	(void) obj; (void) method; (void) msg;
	ubus_defer_request(c, req, &dropped);
	return 0;
}

static void deferred_reply(struct uloop_timeout *t)
{
	struct deferred *d = container_of(t, struct deferred, timer);

	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "deferred", d->ms);
	blobmsg_add_string(&b, "tag", d->tag);
	ubus_send_reply(ctx, &d->req, b.head);
	ubus_complete_deferred_request(ctx, &d->req, UBUS_STATUS_OK);
	d->used = false;
}

static int do_defer(struct ubus_context *c, struct ubus_object *obj,
		    struct ubus_request_data *req, const char *method,
		    struct blob_attr *msg)
{
	struct blob_attr *tb[__ARG_MAX];
	int i;

	(void) obj; (void) method;
	parse(msg, tb);
	for (i = 0; i < MAX_DEFERRED && deferred[i].used; i++)
		;
	if (i == MAX_DEFERRED)
		return UBUS_STATUS_UNKNOWN_ERROR;
	deferred[i].used = true;
	deferred[i].ms = get_int(tb, ARG_MS, 0);
	snprintf(deferred[i].tag, sizeof(deferred[i].tag), "%s",
		 tb[ARG_TAG] ? blobmsg_get_string(tb[ARG_TAG]) : "");
	deferred[i].timer.cb = deferred_reply;
	ubus_defer_request(c, req, &deferred[i].req);
	uloop_timeout_set(&deferred[i].timer, deferred[i].ms);
	return 0;
}

/* blocks the whole peer, as a slow service does */
static int do_sleep(struct ubus_context *c, struct ubus_object *obj,
		    struct ubus_request_data *req, const char *method,
		    struct blob_attr *msg)
{
	struct blob_attr *tb[__ARG_MAX];

	(void) obj; (void) method;
	parse(msg, tb);
	usleep(get_int(tb, ARG_MS, 0) * 1000);
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "slept", tb[ARG_TAG] ? blobmsg_get_string(tb[ARG_TAG]) : "");
	return ubus_send_reply(c, req, b.head);
}

static int do_fail(struct ubus_context *c, struct ubus_object *obj,
		   struct ubus_request_data *req, const char *method,
		   struct blob_attr *msg)
{
	struct blob_attr *tb[__ARG_MAX];

	(void) c; (void) obj; (void) req; (void) method;
	parse(msg, tb);
	return get_int(tb, ARG_STATUS, UBUS_STATUS_UNKNOWN_ERROR);
}

static int do_exit(struct ubus_context *c, struct ubus_object *obj,
		   struct ubus_request_data *req, const char *method,
		   struct blob_attr *msg)
{
	(void) c; (void) obj; (void) req; (void) method; (void) msg;
	_exit(3);
}

static int do_big(struct ubus_context *c, struct ubus_object *obj,
		  struct ubus_request_data *req, const char *method,
		  struct blob_attr *msg)
{
	struct blob_attr *tb[__ARG_MAX];
	int size, ret;
	char *s;

	(void) obj; (void) method;
	parse(msg, tb);
	size = get_int(tb, ARG_SIZE, 0);
	s = malloc(size + 1);
	if (!s)
		return UBUS_STATUS_UNKNOWN_ERROR;
	memset(s, 'x', size);
	s[size] = 0;
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "big", s);
	free(s);
	ret = ubus_send_reply(c, req, b.head);
	return ret;
}

static int do_multi(struct ubus_context *c, struct ubus_object *obj,
		    struct ubus_request_data *req, const char *method,
		    struct blob_attr *msg)
{
	struct blob_attr *tb[__ARG_MAX];
	int i, n;

	(void) obj; (void) method;
	parse(msg, tb);
	n = get_int(tb, ARG_N, 1);
	for (i = 0; i < n; i++) {
		blob_buf_init(&b, 0);
		blobmsg_add_u32(&b, "part", i);
		ubus_send_reply(c, req, b.head);
	}
	return 0;
}

/* notifies the object's subscribers with the call's message, waiting for
 * their answers unless ms is -1; answers with the status */
static int do_notify(struct ubus_context *c, struct ubus_object *obj,
		     struct ubus_request_data *req, const char *method,
		     struct blob_attr *msg)
{
	struct blob_attr *tb[__ARG_MAX];
	int ret;

	(void) method;
	parse(msg, tb);
	ret = ubus_notify(c, obj, tb[ARG_EVENT] ? blobmsg_get_string(tb[ARG_EVENT]) : "note",
			  msg, get_int(tb, ARG_MS, 1000));
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "notified", ret);
	return ubus_send_reply(c, req, b.head);
}

static void subscribers_changed(struct ubus_context *c, struct ubus_object *o)
{
	(void) c;
	printf("subscribers %d\n", o->has_subscribers);
	fflush(stdout);
}

/* sends an event, then answers after ms */
static int do_emit(struct ubus_context *c, struct ubus_object *obj,
		   struct ubus_request_data *req, const char *method,
		   struct blob_attr *msg)
{
	struct blob_attr *tb[__ARG_MAX];
	struct blob_buf ev = {};

	parse(msg, tb);
	blob_buf_init(&ev, 0);
	blobmsg_add_string(&ev, "from", "peer");
	ubus_send_event(c, tb[ARG_EVENT] ? blobmsg_get_string(tb[ARG_EVENT]) : "emitted", ev.head);
	blob_buf_free(&ev);
	return do_defer(c, obj, req, method, msg);
}

static const struct ubus_method methods[] = {
	UBUS_METHOD_NOARG("echo", do_echo),
	UBUS_METHOD_NOARG("hang", do_hang),
	UBUS_METHOD("defer", do_defer, policy),
	UBUS_METHOD("sleep", do_sleep, policy),
	UBUS_METHOD("fail", do_fail, policy),
	UBUS_METHOD_NOARG("exit", do_exit),
	UBUS_METHOD("big", do_big, policy),
	UBUS_METHOD("multi", do_multi, policy),
	UBUS_METHOD("emit", do_emit, policy),
	UBUS_METHOD("notify", do_notify, policy),
	UBUS_METHOD("types", do_echo, types_policy),
};

static struct ubus_object_type obj_type = UBUS_OBJECT_TYPE("test", methods);

static struct ubus_object obj = {
	.type = &obj_type,
	.methods = methods,
	.n_methods = ARRAY_SIZE(methods),
	.subscribe_cb = subscribers_changed,
};

static void print_event(struct ubus_context *c, struct ubus_event_handler *ev,
			const char *type, struct blob_attr *msg)
{
	char *s = blobmsg_format_json(msg, true);

	(void) c; (void) ev;
	printf("event %s %s\n", type, s ? s : "");
	fflush(stdout);
	free(s);
}

static int register_events(void)
{
	int i, ret;

	for (i = 0; i < n_patterns; i++) {
		handlers[i].cb = print_event;
		ret = ubus_register_event_handler(ctx, &handlers[i], patterns[i]);
		if (ret)
			return ret;
	}
	return 0;
}

static struct uloop_timeout retry;

static void try_reconnect(struct uloop_timeout *t)
{
	if (ubus_reconnect(ctx, sock_path)) {
		uloop_timeout_set(t, 100);
		return;
	}
	ubus_add_uloop(ctx);
	register_events();
	printf("reconnected %08x\n", obj.id);
	fflush(stdout);
}

static void connection_lost(struct ubus_context *c)
{
	(void) c;
	printf("lost\n");
	fflush(stdout);
	if (!reconnect_mode) {
		uloop_end();
		return;
	}
	try_reconnect(&retry);
}

static void check_echo(struct ubus_request *req, int type, struct blob_attr *msg)
{
	char *s = blobmsg_format_json(msg, true);

	(void) type;
	if (s && !strcmp(s, (const char *) req->priv))
		*((char *) req->priv) = 0;
	free(s);
}

/* N echo calls whose replies must be their own */
static int run_caller(const char *name, int n)
{
	uint32_t id;
	char want[128];
	int i, ret;

	ret = ubus_lookup_id(ctx, name, &id);
	if (ret) {
		fprintf(stderr, "lookup: %s\n", ubus_strerror(ret));
		return 1;
	}
	for (i = 0; i < n; i++) {
		snprintf(want, sizeof(want), "{\"pid\":%d,\"i\":%d}", (int) getpid(), i);
		blob_buf_init(&b, 0);
		blobmsg_add_json_from_string(&b, want);
		ret = ubus_invoke(ctx, id, "echo", b.head, check_echo, want, 5000);
		if (ret || want[0]) {
			fprintf(stderr, "call %d: %s%s\n", i, ubus_strerror(ret),
				want[0] ? ", wrong reply" : "");
			return 1;
		}
	}
	return 0;
}

int main(int argc, char **argv)
{
	const char *name = "test";
	int calls = -1;
	int ch, ret;

	while ((ch = getopt(argc, argv, "s:o:e:c:r")) != -1) {
		switch (ch) {
		case 's':
			sock_path = optarg;
			break;
		case 'o':
			name = optarg;
			break;
		case 'e':
			if (n_patterns < MAX_EVENTS)
				patterns[n_patterns++] = optarg;
			break;
		case 'c':
			calls = atoi(optarg);
			break;
		case 'r':
			reconnect_mode = true;
			break;
		default:
			return 2;
		}
	}

	ctx = ubus_connect(sock_path);
	if (!ctx) {
		fprintf(stderr, "cannot connect\n");
		return 1;
	}
	if (calls >= 0) {
		ret = run_caller(name, calls);
		ubus_free(ctx);
		blob_buf_free(&b);
		return ret;
	}

	ctx->connection_lost = connection_lost;
	retry.cb = try_reconnect;
	ubus_add_uloop(ctx);
	obj.name = name;
	ret = ubus_add_object(ctx, &obj);
	if (!ret)
		ret = register_events();
	if (ret) {
		fprintf(stderr, "setup: %s\n", ubus_strerror(ret));
		ubus_free(ctx);
		return 1;
	}
	printf("ready %08x\n", obj.id);
	fflush(stdout);

	uloop_run();

	uloop_timeout_cancel(&retry);
	ubus_free(ctx);
	uloop_done();
	blob_buf_free(&b);
	return 0;
}
