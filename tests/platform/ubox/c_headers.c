/*
 * The public headers used from C, as the router's own programs use them:
 * lists, AVL trees, blobmsg building and walking, JSON text.
 */
#include <libubox/avl-cmp.h>
#include <libubox/avl.h>
#include <libubox/blobmsg_json.h>
#include <libubox/list.h>
#include <libubox/uloop.h>
#include <libubox/utils.h>

struct entry {
	struct list_head list;
	struct avl_node avl;
	const char *name;
	int value;
};

int c_headers_summary(char *out, size_t len);

int c_headers_summary(char *out, size_t len)
{
	static struct blob_buf b;
	static const struct blobmsg_policy policy[] = {
		{ .name = "names", .type = BLOBMSG_TYPE_ARRAY },
		{ .name = "total", .type = BLOBMSG_TYPE_INT32 },
	};
	struct entry items[3] = {
		{ .name = "wan", .value = 3 },
		{ .name = "lan", .value = 1 },
		{ .name = "dmz", .value = 2 },
	};
	struct blob_attr *tb[ARRAY_SIZE(policy)], *cur;
	struct avl_tree tree;
	struct entry *e, *tmp;
	struct uloop_timeout unused = { .pending = false };
	char *text, *extra;
	size_t rem;
	int total = 0, count = 0;
	void *c;
	LIST_HEAD(entries);

	avl_init(&tree, avl_strcmp, false, NULL);
	for (size_t i = 0; i < ARRAY_SIZE(items); i++) {
		items[i].avl.key = items[i].name;
		avl_insert(&tree, &items[i].avl);
		list_add_tail(&items[i].list, &entries);
	}

	blob_buf_init(&b, 0);
	c = blobmsg_open_array(&b, "names");
	avl_for_each_element(&tree, e, avl)
		blobmsg_add_string(&b, NULL, e->name);
	blobmsg_close_array(&b, c);
	list_for_each_entry(e, &entries, list)
		total += e->value;
	blobmsg_add_u32(&b, "total", total);

	if (blobmsg_parse(policy, ARRAY_SIZE(policy), tb, blob_data(b.head), blob_len(b.head)))
		return -1;
	blobmsg_for_each_attr(cur, tb[0], rem)
		count++;
	list_for_each_entry_safe(e, tmp, &entries, list)
		list_del(&e->list);

	struct entry *one = calloc_a(sizeof(*one), &extra, 8);
	if (!one)
		return -1;
	strcpy(extra, "x");

	text = blobmsg_format_json(b.head, true);
	snprintf(out, len, "%s %d %u %d %s %d", text, count, blobmsg_get_u32(tb[1]),
		 list_empty(&entries), extra, unused.pending);
	free(text);
	free(one);
	blob_buf_free(&b);
	return 0;
}
