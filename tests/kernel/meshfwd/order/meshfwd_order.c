// SPDX-License-Identifier: GPL-2.0
/*
 * Test fixture for meshfwd_filter: hooks at priorities 0 and 2 on both of
 * its hook points watch non-relayed 1905.1 multicast frames go by. Of
 * equal priorities the one registered last runs first, so the 0s are
 * registered at load, before meshfwd_filter, and the 2s when "arm" is
 * written, after it: a filter hook at 0 or 2 lands on the wrong side of
 * one of them.
 * debugfs meshfwd_order/seen, six counts:
 *   forward at 0, forward at 2, local-in at 0, local-in at 2,
 *   local-in at 0 already stamped, local-in at 2 still as sent
 */
#include <linux/debugfs.h>
#include <linux/etherdevice.h>
#include <linux/module.h>
#include <linux/netfilter_bridge.h>
#include <linux/seq_file.h>
#include <linux/skbuff.h>
#include <net/net_namespace.h>

#define ORDER_SENT15	0xa5	/* byte 15 as the suite sends it */

enum { FWD_0, FWD_2, LOCAL_0, LOCAL_2, LOCAL_0_STAMPED, LOCAL_2_AS_SENT, ORDER_COUNTS };

static atomic_t order_seen[ORDER_COUNTS];
static struct dentry *order_dir;
static bool order_armed;

static const u8 order_mcast[ETH_ALEN] __aligned(2) = {
	0x01, 0x80, 0xc2, 0x00, 0x00, 0x13
};

/* Byte 15 of a non-relayed 1905.1 multicast frame, -1 for any other. */
static int order_byte15(const struct sk_buff *skb)
{
	u8 b[22];

	if (eth_hdr(skb)->h_proto != htons(0x893A) ||
	    !ether_addr_equal(eth_hdr(skb)->h_dest, order_mcast) ||
	    skb_copy_bits(skb, skb_mac_offset(skb), b, sizeof(b)) || (b[21] & 0x40))
		return -1;
	return b[15];
}

static unsigned int order_count(struct sk_buff *skb, int seen, int odd, bool stamped)
{
	int b15 = order_byte15(skb);

	if (b15 < 0)
		return NF_ACCEPT;
	atomic_inc(&order_seen[seen]);
	if (odd >= 0 && (b15 != ORDER_SENT15) == stamped)
		atomic_inc(&order_seen[odd]);
	return NF_ACCEPT;
}

static unsigned int order_fwd_0(void *priv, struct sk_buff *skb,
				const struct nf_hook_state *state)
{
	return order_count(skb, FWD_0, -1, false);
}

static unsigned int order_fwd_2(void *priv, struct sk_buff *skb,
				const struct nf_hook_state *state)
{
	return order_count(skb, FWD_2, -1, false);
}

static unsigned int order_local_0(void *priv, struct sk_buff *skb,
				  const struct nf_hook_state *state)
{
	return order_count(skb, LOCAL_0, LOCAL_0_STAMPED, true);
}

static unsigned int order_local_2(void *priv, struct sk_buff *skb,
				  const struct nf_hook_state *state)
{
	return order_count(skb, LOCAL_2, LOCAL_2_AS_SENT, false);
}

/* Priority 0, registered at load. */
static const struct nf_hook_ops order_early[] = {
	{ .hook = order_fwd_0, .pf = NFPROTO_BRIDGE, .hooknum = NF_BR_FORWARD,
	  .priority = NF_BR_PRI_BRNF },
	{ .hook = order_local_0, .pf = NFPROTO_BRIDGE, .hooknum = NF_BR_LOCAL_IN,
	  .priority = NF_BR_PRI_BRNF },
};

/* Priority 2, registered on "arm", after the filter. */
static const struct nf_hook_ops order_late[] = {
	{ .hook = order_fwd_2, .pf = NFPROTO_BRIDGE, .hooknum = NF_BR_FORWARD,
	  .priority = NF_BR_PRI_BRNF + 2 },
	{ .hook = order_local_2, .pf = NFPROTO_BRIDGE, .hooknum = NF_BR_LOCAL_IN,
	  .priority = NF_BR_PRI_BRNF + 2 },
};

static int order_seen_show(struct seq_file *m, void *v)
{
	int i;

	for (i = 0; i < ORDER_COUNTS; i++)
		seq_printf(m, "%d%c", atomic_read(&order_seen[i]),
			   i + 1 < ORDER_COUNTS ? ' ' : '\n');
	return 0;
}
DEFINE_SHOW_ATTRIBUTE(order_seen);

static ssize_t order_arm_write(struct file *f, const char __user *ubuf,
			       size_t count, loff_t *pos)
{
	int err;

	if (order_armed)
		return -EALREADY;
	err = nf_register_net_hooks(&init_net, order_late, ARRAY_SIZE(order_late));
	if (err)
		return err;
	order_armed = true;
	return count;
}

static const struct file_operations order_arm_fops = {
	.owner = THIS_MODULE,
	.write = order_arm_write,
	.llseek = no_llseek,
};

static int __init order_init(void)
{
	int err = nf_register_net_hooks(&init_net, order_early, ARRAY_SIZE(order_early));

	if (err)
		return err;
	order_dir = debugfs_create_dir("meshfwd_order", NULL);
	debugfs_create_file("seen", 0400, order_dir, NULL, &order_seen_fops);
	debugfs_create_file("arm", 0200, order_dir, NULL, &order_arm_fops);
	return 0;
}

static void __exit order_exit(void)
{
	debugfs_remove_recursive(order_dir);
	if (order_armed)
		nf_unregister_net_hooks(&init_net, order_late, ARRAY_SIZE(order_late));
	nf_unregister_net_hooks(&init_net, order_early, ARRAY_SIZE(order_early));
}

module_init(order_init);
module_exit(order_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Watches where meshfwd_filter's bridge hooks run for its tests");
