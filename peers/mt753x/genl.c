// SPDX-License-Identifier: GPL-2.0
/*
 * The "mt753x-wand" Generic Netlink family with scripted answers.
 * debugfs controls:
 *   fdb, vlan, pvid, port  the attribute stream (length, type, payload,
 *                          padding, exactly as sent) that commands 0, 1, 2
 *                          and 4 dump; anything goes, truncated tails too
 *   wan_lan                the five values of the last command 3
 *   wan_lan_errno          errno that command 3 is refused with (0 = ack)
 *   wan_lan_chatty         non-zero: command 3 answers with a data message
 *                          before its acknowledgement
 * Command 0 without the dump flag looks the MAC address of its entry up in
 * the fdb stream and answers with the first matching attribute as stored,
 * or with no attribute when none matches.
 */
#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/mutex.h>
#include <net/genetlink.h>

#include "sim.h"

enum { SIM_FDB, SIM_VLAN, SIM_PVID, SIM_PORT, SIM_TABLES };

struct sim_table {
	u8 data[2048];
	size_t len;
};

static struct sim_table sim_tables[SIM_TABLES];
static DEFINE_MUTEX(sim_table_mutex);
static s32 sim_wan_lan[5];
static u32 sim_wan_lan_errno;
static u32 sim_wan_lan_chatty;
static struct genl_family sim_family;

static int sim_dump(struct sk_buff *skb, struct netlink_callback *cb,
		    u8 cmd, struct sim_table *t)
{
	void *hdr;
	int err = 0;

	if (cb->args[0])
		return 0;
	hdr = genlmsg_put(skb, NETLINK_CB(cb->skb).portid, cb->nlh->nlmsg_seq,
			  &sim_family, NLM_F_MULTI, cmd);
	if (!hdr)
		return -EMSGSIZE;
	mutex_lock(&sim_table_mutex);
	if (skb_tailroom(skb) < t->len)
		err = -EMSGSIZE;
	else
		skb_put_data(skb, t->data, t->len);
	mutex_unlock(&sim_table_mutex);
	if (err) {
		genlmsg_cancel(skb, hdr);
		return err;
	}
	genlmsg_end(skb, hdr);
	cb->args[0] = 1;
	return skb->len;
}

static int sim_dump_fdb(struct sk_buff *skb, struct netlink_callback *cb)
{
	return sim_dump(skb, cb, 0, &sim_tables[SIM_FDB]);
}

static int sim_dump_vlan(struct sk_buff *skb, struct netlink_callback *cb)
{
	return sim_dump(skb, cb, 1, &sim_tables[SIM_VLAN]);
}

static int sim_dump_pvid(struct sk_buff *skb, struct netlink_callback *cb)
{
	return sim_dump(skb, cb, 2, &sim_tables[SIM_PVID]);
}

static int sim_dump_port(struct sk_buff *skb, struct netlink_callback *cb)
{
	return sim_dump(skb, cb, 4, &sim_tables[SIM_PORT]);
}

static int sim_find(struct sk_buff *skb, struct genl_info *info)
{
	struct sim_table *t = &sim_tables[SIM_FDB];
	const struct nlattr *req = info->attrs[1];
	const struct nlattr *a;
	struct sk_buff *msg;
	void *hdr;
	int rem, err = 0;

	if (!req || nla_len(req) < ETH_ALEN)
		return -EINVAL;
	msg = genlmsg_new(NLMSG_GOODSIZE, GFP_KERNEL);
	if (!msg)
		return -ENOMEM;
	hdr = genlmsg_put(msg, info->snd_portid, info->snd_seq, &sim_family, 0, 0);
	if (!hdr) {
		nlmsg_free(msg);
		return -EMSGSIZE;
	}
	mutex_lock(&sim_table_mutex);
	nla_for_each_attr(a, (struct nlattr *)t->data, t->len, rem) {
		if (nla_len(a) < ETH_ALEN || memcmp(nla_data(a), nla_data(req), ETH_ALEN))
			continue;
		err = nla_put(msg, 1, nla_len(a), nla_data(a));
		break;
	}
	mutex_unlock(&sim_table_mutex);
	if (err) {
		nlmsg_free(msg);
		return err;
	}
	genlmsg_end(msg, hdr);
	return genlmsg_reply(msg, info);
}

static int sim_set_wan_lan(struct sk_buff *skb, struct genl_info *info)
{
	const struct nlattr *a = info->attrs[2];
	struct sk_buff *msg;
	void *hdr;

	if (!a || nla_len(a) != sizeof(sim_wan_lan))
		return -EINVAL;
	mutex_lock(&sim_table_mutex);
	memcpy(sim_wan_lan, nla_data(a), sizeof(sim_wan_lan));
	mutex_unlock(&sim_table_mutex);
	if (sim_wan_lan_errno)
		return -(int)sim_wan_lan_errno;
	if (!sim_wan_lan_chatty)
		return 0;
	msg = genlmsg_new(NLMSG_GOODSIZE, GFP_KERNEL);
	if (!msg)
		return -ENOMEM;
	hdr = genlmsg_put(msg, info->snd_portid, info->snd_seq, &sim_family, 0, 3);
	if (!hdr) {
		nlmsg_free(msg);
		return -EMSGSIZE;
	}
	genlmsg_end(msg, hdr);
	return genlmsg_reply(msg, info);
}

static const struct nla_policy sim_policy[3] = {
	[1] = { .type = NLA_BINARY, .len = 10 },
	[2] = { .type = NLA_BINARY, .len = 20 },
};

static const struct genl_ops sim_ops[] = {
	{ .cmd = 0, .doit = sim_find, .dumpit = sim_dump_fdb },
	{ .cmd = 1, .dumpit = sim_dump_vlan },
	{ .cmd = 2, .dumpit = sim_dump_pvid },
	{ .cmd = 3, .doit = sim_set_wan_lan },
	{ .cmd = 4, .dumpit = sim_dump_port },
};

static struct genl_family sim_family = {
	.name = "mt753x-wand",
	.version = 1,
	.maxattr = 2,
	.policy = sim_policy,
	.module = THIS_MODULE,
	.ops = sim_ops,
	.n_ops = ARRAY_SIZE(sim_ops),
};

static ssize_t sim_table_read(struct file *f, char __user *ubuf, size_t count,
			      loff_t *pos)
{
	struct sim_table *t = f->private_data;
	ssize_t n;

	mutex_lock(&sim_table_mutex);
	n = simple_read_from_buffer(ubuf, count, pos, t->data, t->len);
	mutex_unlock(&sim_table_mutex);
	return n;
}

/* A write at offset 0 starts the table afresh. */
static ssize_t sim_table_write(struct file *f, const char __user *ubuf,
			       size_t count, loff_t *pos)
{
	struct sim_table *t = f->private_data;
	ssize_t n;

	mutex_lock(&sim_table_mutex);
	if (*pos == 0)
		t->len = 0;
	n = simple_write_to_buffer(t->data, sizeof(t->data), pos, ubuf, count);
	if (n > 0 && *pos > t->len)
		t->len = *pos;
	mutex_unlock(&sim_table_mutex);
	return n;
}

static const struct file_operations sim_table_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.read = sim_table_read,
	.write = sim_table_write,
	.llseek = default_llseek,
};

static int sim_wan_lan_show(struct seq_file *m, void *v)
{
	mutex_lock(&sim_table_mutex);
	seq_printf(m, "%d %d %d %d %d\n", sim_wan_lan[0], sim_wan_lan[1],
		   sim_wan_lan[2], sim_wan_lan[3], sim_wan_lan[4]);
	mutex_unlock(&sim_table_mutex);
	return 0;
}
DEFINE_SHOW_ATTRIBUTE(sim_wan_lan);

int sim_genl_init(struct dentry *dir)
{
	static const char *const names[SIM_TABLES] = { "fdb", "vlan", "pvid", "port" };
	int i;

	for (i = 0; i < SIM_TABLES; i++)
		debugfs_create_file(names[i], 0600, dir, &sim_tables[i],
				    &sim_table_fops);
	debugfs_create_file("wan_lan", 0400, dir, NULL, &sim_wan_lan_fops);
	debugfs_create_u32("wan_lan_errno", 0600, dir, &sim_wan_lan_errno);
	debugfs_create_u32("wan_lan_chatty", 0600, dir, &sim_wan_lan_chatty);
	return genl_register_family(&sim_family);
}

void sim_genl_exit(void)
{
	genl_unregister_family(&sim_family);
}
