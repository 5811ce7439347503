// SPDX-License-Identifier: GPL-2.0
/*
 * The bridge hooks. They see skb->data past the Ethernet header, so frame
 * byte N sits at skb_mac_offset() + N from the data.
 */
#include <linux/etherdevice.h>
#include <linux/skbuff.h>

#include "meshfwd.h"

#define MF_ETH_P_1905	0x893A
#define MF_RESERVED	15	/* after the 1905.1 message version */
#define MF_FLAGS	21
#define MF_HDR_END	22	/* Ethernet and 1905.1 message headers */
#define MF_RELAY	0x40

static const u8 mf_1905_mcast[ETH_ALEN] __aligned(2) = {
	0x01, 0x80, 0xc2, 0x00, 0x00, 0x13
};

/* Every bridged frame passes here: one comparison for all but 1905.1. */
static inline bool mf_is_1905(const struct sk_buff *skb)
{
	return eth_hdr(skb)->h_proto == htons(MF_ETH_P_1905);
}

/* A frame too short for the 1905.1 header is left alone: it has no byte
 * of ours to read or stamp. */
static inline bool mf_has_hdr(const struct sk_buff *skb)
{
	return (int)skb->len - skb_mac_offset(skb) >= MF_HDR_END;
}

unsigned int netfilter_forwarding_hook(void *priv, struct sk_buff *skb,
				       const struct nf_hook_state *state)
{
	const u8 *flags;
	u8 buf;

	if (likely(!mf_is_1905(skb)))
		return NF_ACCEPT;
	if (!ether_addr_equal(eth_hdr(skb)->h_dest, mf_1905_mcast) ||
	    !mf_has_hdr(skb))
		return NF_ACCEPT;
	/* Byte 21 may lie in a fragment. */
	flags = skb_header_pointer(skb, skb_mac_offset(skb) + MF_FLAGS, 1, &buf);
	if (!flags || (*flags & MF_RELAY))
		return NF_ACCEPT;
	return NF_DROP;
}

unsigned int netfilter_local_in_hook(void *priv, struct sk_buff *skb,
				     const struct nf_hook_state *state)
{
	int end;

	if (likely(!mf_is_1905(skb)))
		return NF_ACCEPT;
	if (!mf_has_hdr(skb) || !state->in)
		return NF_ACCEPT;
	/* The copies the bridge forwards share this data: write a private one. */
	end = skb_mac_offset(skb) + MF_RESERVED + 1;
	if (skb_ensure_writable(skb, max(end, 0)))
		return NF_ACCEPT;
	/* The device's sum over the data would no longer match. */
	if (skb->ip_summed == CHECKSUM_COMPLETE)
		skb->ip_summed = CHECKSUM_NONE;
	skb_mac_header(skb)[MF_RESERVED] = state->in->ifindex & 0xff;
	return NF_ACCEPT;
}
