// SPDX-License-Identifier: GPL-2.0 OR BSD-2-Clause
/* Carrier of the WAN and LAN interfaces, driven by the switch's link state. */
#include <linux/bits.h>
#include <linux/netdevice.h>
#include <linux/string.h>
#include <net/net_namespace.h>

#include "wanport.h"

int wp_wan_port = -1;
const char wp_wan_ifname[8] = "eth1";
const char wp_lan_ifnames[WP_PORTS][8] = { "eth0.3", "eth0.4", "eth0.5", "eth0.6" };

/* state -1 asks the switch; port -1 (no WAN port) means carrier off. */
void wp_set_carrier(struct net_device *dev, int port, int state)
{
	bool on;

	if (port < 0)
		on = false;
	else if (state == -1)
		on = mt753x_phy_link_sts() & BIT(port);
	else
		on = state != 0;
	if (on)
		netif_carrier_on(dev);
	else
		netif_carrier_off(dev);
}

void wp_set_carrier_by_name(const char *name, int port, int state)
{
	struct net_device *dev = dev_get_by_name(&init_net, name);

	if (!dev)
		return;
	wp_set_carrier(dev, port, state);
	dev_put(dev);
}

/* Runs in the switch driver's context, possibly atomic: no sleeping. */
static int wp_link_event(struct notifier_block *nb, unsigned long port, void *data)
{
	int state = data ? 1 : 0;

	if (port >= WP_PORTS)
		return NOTIFY_OK;
	if ((int)port == READ_ONCE(wp_wan_port))
		wp_set_carrier_by_name(wp_wan_ifname, port, state);
	wp_set_carrier_by_name(wp_lan_ifnames[port], port, state);
	return NOTIFY_DONE;
}

static int wp_netdev_event(struct notifier_block *nb, unsigned long event, void *ptr)
{
	struct net_device *dev = netdev_notifier_info_to_dev(ptr);
	int i;

	if (event != NETDEV_UP && event != NETDEV_CHANGE)
		return NOTIFY_DONE;
	/* Same-named interfaces of containers are none of ours. */
	if (!net_eq(dev_net(dev), &init_net))
		return NOTIFY_DONE;
	if (!strcmp(dev->name, wp_wan_ifname))
		wp_set_carrier(dev, READ_ONCE(wp_wan_port), -1);
	for (i = 0; i < WP_PORTS; i++) {
		if (!strcmp(dev->name, wp_lan_ifnames[i])) {
			wp_set_carrier(dev, i, -1);
			break;
		}
	}
	return NOTIFY_DONE;
}

struct notifier_block wp_link_nb = { .notifier_call = wp_link_event };
struct notifier_block wp_netdev_nb = { .notifier_call = wp_netdev_event };
