// SPDX-License-Identifier: GPL-2.0
/*
 * Test fixture for meshfwd_filter. The bytes past a short frame's end are
 * usually slab poison, which a hook may read without any visible effect.
 * This module shortens 1905.1 frames that ask for it on entering the
 * bridge, so the sent bytes (relay indicator clear, byte 15 0xa5) stay in
 * the buffer past the new end: a hook that reads there drops the frame, and
 * one that writes byte 15 there is caught before local delivery.
 * A frame asks with its last six bytes: "trim", the new length, 0xee.
 */
#include <linux/module.h>
#include <linux/netfilter_bridge.h>
#include <linux/skbuff.h>
#include <net/net_namespace.h>

#define TAIL_MARK	0x7472696d
#define TAIL_SENT15	0xa5

static int frame_len(const struct sk_buff *skb)
{
	return (int)skb->len - skb_mac_offset(skb);
}

static unsigned int tail_trim(void *priv, struct sk_buff *skb,
			      const struct nf_hook_state *state)
{
	int len = frame_len(skb);
	u8 tag[6];

	if (eth_hdr(skb)->h_proto != htons(0x893A) || skb->len < sizeof(tag) ||
	    skb_copy_bits(skb, skb->len - sizeof(tag), tag, sizeof(tag)) ||
	    memcmp(tag, "trim", 4) || tag[5] != 0xee ||
	    tag[4] < ETH_HLEN || tag[4] >= len)
		return NF_ACCEPT;
	if (skb_linearize(skb) ||
	    pskb_trim_rcsum(skb, tag[4] + skb_mac_offset(skb)))
		return NF_DROP;
	skb->mark = TAIL_MARK;
	return NF_ACCEPT;
}

/* After meshfwd_filter's local-in hook: byte 15 of a trimmed frame that
 * ends before it must still be as sent. */
static unsigned int tail_guard(void *priv, struct sk_buff *skb,
			       const struct nf_hook_state *state)
{
	const u8 *mac = skb_mac_header(skb);
	int len = frame_len(skb);

	if (skb->mark != TAIL_MARK || len > 15 ||
	    mac + 16 > skb_end_pointer(skb) || mac[15] == TAIL_SENT15)
		return NF_ACCEPT;
	pr_err("meshfwd_tail: byte 15 past the end of a %d-byte frame became 0x%02x\n",
	       len, mac[15]);
	return NF_DROP;
}

static const struct nf_hook_ops tail_ops[] = {
	{
		.hook = tail_trim,
		.pf = NFPROTO_BRIDGE,
		.hooknum = NF_BR_PRE_ROUTING,
		.priority = NF_BR_PRI_FIRST,
	},
	{
		.hook = tail_guard,
		.pf = NFPROTO_BRIDGE,
		.hooknum = NF_BR_LOCAL_IN,
		.priority = NF_BR_PRI_BRNF + 2,
	},
};

static int __init tail_init(void)
{
	return nf_register_net_hooks(&init_net, tail_ops, ARRAY_SIZE(tail_ops));
}

static void __exit tail_exit(void)
{
	nf_unregister_net_hooks(&init_net, tail_ops, ARRAY_SIZE(tail_ops));
}

module_init(tail_init);
module_exit(tail_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Shortens marked 1905.1 frames for the meshfwd_filter tests");
