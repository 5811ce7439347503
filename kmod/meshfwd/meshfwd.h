/* SPDX-License-Identifier: GPL-2.0 */
/* meshfwd_filter: the two bridge hooks. */
#ifndef MESHFWD_H
#define MESHFWD_H

#include <linux/netfilter.h>

unsigned int netfilter_forwarding_hook(void *priv, struct sk_buff *skb,
				       const struct nf_hook_state *state);
unsigned int netfilter_local_in_hook(void *priv, struct sk_buff *skb,
				     const struct nf_hook_state *state);

#endif
