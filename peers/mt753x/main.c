// SPDX-License-Identifier: GPL-2.0
/*
 * Simulated MT753x switch driver. Its controls live under
 * /sys/kernel/debug/mt753x/ so the kernel rig can play the switch.
 */
#include <linux/debugfs.h>
#include <linux/module.h>

#include "sim.h"

static struct dentry *sim_dir;

static int __init sim_init(void)
{
	int err;

	sim_dir = debugfs_create_dir("mt753x", NULL);
	if (IS_ERR(sim_dir))
		return PTR_ERR(sim_dir);
	err = sim_link_init(sim_dir);
	if (err)
		goto fail_dir;
	err = sim_genl_init(sim_dir);
	if (err)
		goto fail_dir;
	return 0;

fail_dir:
	debugfs_remove_recursive(sim_dir);
	return err;
}

static void __exit sim_exit(void)
{
	debugfs_remove_recursive(sim_dir);
	sim_genl_exit();
}

module_init(sim_init);
module_exit(sim_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Simulated MT753x switch driver for tests");
