/*
 * Formats blobs with every blobmsg_json entry point and prints one line
 * per form, so that two builds of the library can be compared byte for
 * byte. "json TEXT" parses TEXT first; "blob NAME" builds a blob the
 * parser cannot make. A null result prints as <null>.
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <libubox/blobmsg_json.h>

static struct blob_buf b;

static const char *type_cb(void *priv, struct blob_attr *attr)
{
	(void) priv;
	return blobmsg_type(attr) == BLOBMSG_TYPE_INT32 ? "\"int\"" : NULL;
}

static void show(const char *form, char *s)
{
	printf("%s: %s\n", form, s ? s : "<null>");
	free(s);
}

static void dump(struct blob_attr *head)
{
	struct blob_attr *cur;
	size_t rem;

	show("list", blobmsg_format_json(head, true));
	show("elem", blobmsg_format_json(head, false));
	show("indent0", blobmsg_format_json_indent(head, true, 0));
	show("indent2", blobmsg_format_json_indent(head, true, 2));
	show("indent20", blobmsg_format_json_indent(head, true, 20));
	show("cb", blobmsg_format_json_with_cb(head, true, type_cb, NULL, -1));
	blob_for_each_attr(cur, head, rem) {
		show("member", blobmsg_format_json(cur, false));
		show("member-list", blobmsg_format_json(cur, true));
		show("value", blobmsg_format_json_value(cur));
		show("value-indent", blobmsg_format_json_value_indent(cur, 1));
		show("member-cb", blobmsg_format_json_with_cb(cur, false, type_cb, NULL, 0));
	}
}

static void nest(int depth)
{
	void *c = blobmsg_open_table(&b, "t");

	if (depth > 1)
		nest(depth - 1);
	else
		blobmsg_add_u32(&b, "leaf", 1);
	blobmsg_close_table(&b, c);
}

static int build(const char *name)
{
	void *c;

	if (!strcmp(name, "empty"))
		return 0;
	if (!strcmp(name, "ints")) {
		blobmsg_add_u8(&b, "u8", 2);
		blobmsg_add_u16(&b, "u16", 0xfffe);
		blobmsg_add_u32(&b, "u32", 0xffffffff);
		blobmsg_add_u64(&b, "u64", 0x8000000000000000ULL);
		return 0;
	}
	if (!strcmp(name, "doubles")) {
		blobmsg_add_double(&b, "pi", 3.14159265358979);
		blobmsg_add_double(&b, "big", 1e300);
		blobmsg_add_double(&b, "tiny", 1e-9);
		blobmsg_add_double(&b, "neg", -0.5);
		blobmsg_add_double(&b, "inf", INFINITY);
		blobmsg_add_double(&b, "nan", NAN);
		return 0;
	}
	if (!strcmp(name, "unspec")) {
		blobmsg_add_field(&b, BLOBMSG_TYPE_UNSPEC, "n", NULL, 0);
		blobmsg_add_field(&b, BLOBMSG_TYPE_UNSPEC, "", NULL, 0);
		return 0;
	}
	if (!strcmp(name, "names")) {
		blobmsg_add_string(&b, "a/b \"q\" \\ \t", "v");
		blobmsg_add_string(&b, "", "unnamed");
		return 0;
	}
	if (!strcmp(name, "controls")) {
		blobmsg_add_string(&b, "s", "\x01\x1f\x7f\b\f\n\r\t/");
		return 0;
	}
	if (!strcmp(name, "empties")) {
		c = blobmsg_open_table(&b, "t");
		blobmsg_close_table(&b, c);
		c = blobmsg_open_array(&b, "a");
		blobmsg_close_array(&b, c);
		blobmsg_add_string(&b, "s", "");
		return 0;
	}
	if (!strcmp(name, "array-names")) {
		c = blobmsg_open_array(&b, "a");
		blobmsg_add_string(&b, "ignored", "x");
		blobmsg_add_u32(&b, NULL, 1);
		blobmsg_close_array(&b, c);
		return 0;
	}
	if (!strcmp(name, "top-array")) {
		blob_buf_init(&b, BLOBMSG_TYPE_ARRAY);
		blobmsg_add_u32(&b, NULL, 1);
		blobmsg_add_string(&b, NULL, "two");
		return 0;
	}
	if (!strcmp(name, "deep")) {
		nest(20);
		return 0;
	}
	if (!strcmp(name, "bad-string")) {
		/* a string without its terminating zero fails the attribute check */
		blobmsg_add_field(&b, BLOBMSG_TYPE_STRING, "s", "abc", 3);
		blobmsg_add_u32(&b, "after", 7);
		return 0;
	}
	return -1;
}

int main(int argc, char **argv)
{
	if (argc != 3)
		return 2;
	blob_buf_init(&b, 0);
	if (!strcmp(argv[1], "json")) {
		bool ok = blobmsg_add_json_from_string(&b, argv[2]);

		printf("parsed: %s\n", ok ? "yes" : "no");
		if (!ok) {
			blob_buf_free(&b);
			return 1;
		}
	} else if (strcmp(argv[1], "blob") || build(argv[2])) {
		blob_buf_free(&b);
		return 2;
	}
	dump(b.head);
	blob_buf_free(&b);
	return 0;
}
