// SPDX-License-Identifier: GPL-2.0 OR BSD-2-Clause
/*
 * wanport_helper: keeps the carrier of eth1 (WAN) and eth0.3..eth0.6 (LAN)
 * in step with the MT753x switch ports' link and serves /proc/wand_port.
 */
#include <linux/module.h>
#include <linux/netdevice.h>

#include "wanport.h"

static int __init wp_init(void)
{
	int err = wp_proc_init();

	if (err)
		return err;
	err = mt753x_link_notifier_register(&wp_link_nb);
	/* A positive result would load us half undone: fail it instead. */
	if (err > 0)
		err = -EIO;
	if (err)
		goto fail_proc;
	/* Replays NETDEV_UP for interfaces already up: they take their link. */
	err = register_netdevice_notifier(&wp_netdev_nb);
	if (err)
		goto fail_link;
	return 0;

fail_link:
	mt753x_link_notifier_unregister(&wp_link_nb);
fail_proc:
	wp_proc_exit();
	return err;
}

static void __exit wp_exit(void)
{
	int i;

	wp_proc_exit();
	unregister_netdevice_notifier(&wp_netdev_nb);
	mt753x_link_notifier_unregister(&wp_link_nb);
	/* Without the helper nothing would ever turn them on again. */
	for (i = 0; i < WP_PORTS; i++)
		if (wp_lan_ifnames[i][0])
			wp_set_carrier_by_name(wp_lan_ifnames[i], i, 1);
	wp_set_carrier_by_name(wp_wan_ifname, 0, 1);
}

module_init(wp_init);
module_exit(wp_exit);
MODULE_LICENSE("Dual BSD/GPL");
MODULE_DESCRIPTION("Carrier of the WAN and LAN interfaces from the MT753x switch ports' link");
