/* SPDX-License-Identifier: GPL-2.0 OR BSD-2-Clause */
/* wanport_helper: state shared by its parts. */
#ifndef WANPORT_H
#define WANPORT_H

#include <linux/netdevice.h>
#include <linux/notifier.h>

#define WP_PORTS 4

/* Switch port 0..3 that serves as WAN, -1 for none. Read and written whole
 * without a lock: notifiers must not wait on a proc writer. */
extern int wp_wan_port;
extern const char wp_wan_ifname[8];
extern const char wp_lan_ifnames[WP_PORTS][8];

void wp_set_carrier(struct net_device *dev, int port, int state);
void wp_set_carrier_by_name(const char *name, int port, int state);

extern struct notifier_block wp_link_nb;
extern struct notifier_block wp_netdev_nb;

int wp_proc_init(void);
void wp_proc_exit(void);

/* Exported by the MT753x switch driver. */
int mt753x_link_notifier_register(struct notifier_block *nb);
int mt753x_link_notifier_unregister(struct notifier_block *nb);
unsigned int mt753x_phy_link_sts(void);

#endif
