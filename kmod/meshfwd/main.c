// SPDX-License-Identifier: GPL-2.0
/*
 * meshfwd_filter: keeps non-relayed IEEE 1905.1 multicast on the port it
 * came in on and tells local receivers which bridge port that was.
 */
#include <linux/module.h>
#include <linux/netfilter_bridge.h>
#include <net/net_namespace.h>

#include "meshfwd.h"

/* Just after the bridge's own netfilter glue. */
static const struct nf_hook_ops easymesh_hook_ops[] = {
	{
		.hook = netfilter_forwarding_hook,
		.pf = NFPROTO_BRIDGE,
		.hooknum = NF_BR_FORWARD,
		.priority = NF_BR_PRI_BRNF + 1,
	},
	{
		.hook = netfilter_local_in_hook,
		.pf = NFPROTO_BRIDGE,
		.hooknum = NF_BR_LOCAL_IN,
		.priority = NF_BR_PRI_BRNF + 1,
	},
};

static int __init meshfwd_init(void)
{
	printk("meshfwd filter init\n");
	return nf_register_net_hooks(&init_net, easymesh_hook_ops,
				     ARRAY_SIZE(easymesh_hook_ops));
}

static void __exit meshfwd_exit(void)
{
	printk("meshfwd filter exit\n");
	nf_unregister_net_hooks(&init_net, easymesh_hook_ops,
				ARRAY_SIZE(easymesh_hook_ops));
}

module_init(meshfwd_init);
module_exit(meshfwd_exit);
MODULE_LICENSE("GPL v2");
MODULE_DESCRIPTION("IEEE 1905.1 relay filter and receiving-port stamp for the bridge");
