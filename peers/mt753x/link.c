// SPDX-License-Identifier: GPL-2.0
/*
 * Port link state and the link notifier chain, as the switch driver exports
 * them. debugfs controls:
 *   link           read/write the link bit mask; a write notifies every
 *                  port whose bit changed, in port order
 *   quiet_link     write the mask without notifying anyone
 *   event          "PORT STATE": raise one notification, bits untouched
 *   fail_register  errno that the next registrations fail with (0 = none)
 *   listeners      registered notifier blocks
 *   last_result    what the chain returned for the last notification (the
 *                  last listener's value; the real driver ignores it)
 */
#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/notifier.h>
#include <linux/spinlock.h>
#include <linux/uaccess.h>

#include "sim.h"

static ATOMIC_NOTIFIER_HEAD(sim_chain);
static DEFINE_MUTEX(sim_link_mutex);
static DEFINE_SPINLOCK(sim_irq_lock);
static u32 sim_bits;
static u32 sim_fail_register;
static atomic_t sim_listeners = ATOMIC_INIT(0);
static u32 sim_last_result;

int mt753x_link_notifier_register(struct notifier_block *nb)
{
	int err;

	if (sim_fail_register)
		return -(int)sim_fail_register;
	err = atomic_notifier_chain_register(&sim_chain, nb);
	if (!err)
		atomic_inc(&sim_listeners);
	return err;
}
EXPORT_SYMBOL(mt753x_link_notifier_register);

int mt753x_link_notifier_unregister(struct notifier_block *nb)
{
	int err = atomic_notifier_chain_unregister(&sim_chain, nb);

	if (!err)
		atomic_dec(&sim_listeners);
	return err;
}
EXPORT_SYMBOL(mt753x_link_notifier_unregister);

unsigned int mt753x_phy_link_sts(void)
{
	return READ_ONCE(sim_bits);
}
EXPORT_SYMBOL(mt753x_phy_link_sts);

/* A real switch reports from its interrupt path: listeners must not sleep. */
static void sim_notify(unsigned long port, unsigned long up)
{
	unsigned long flags;
	int ret;

	spin_lock_irqsave(&sim_irq_lock, flags);
	ret = atomic_notifier_call_chain(&sim_chain, port, (void *)up);
	spin_unlock_irqrestore(&sim_irq_lock, flags);
	WRITE_ONCE(sim_last_result, ret);
}

static int sim_link_get(void *data, u64 *val)
{
	*val = READ_ONCE(sim_bits);
	return 0;
}

static int sim_link_set(void *data, u64 val)
{
	u32 old, changed;
	int p;

	mutex_lock(&sim_link_mutex);
	old = sim_bits;
	WRITE_ONCE(sim_bits, (u32)val);
	changed = old ^ (u32)val;
	for (p = 0; p < SIM_PORTS; p++)
		if (changed & BIT(p))
			sim_notify(p, !!(val & BIT(p)));
	mutex_unlock(&sim_link_mutex);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(sim_link_fops, sim_link_get, sim_link_set, "%llu\n");

static int sim_quiet_set(void *data, u64 val)
{
	mutex_lock(&sim_link_mutex);
	WRITE_ONCE(sim_bits, (u32)val);
	mutex_unlock(&sim_link_mutex);
	return 0;
}
DEFINE_DEBUGFS_ATTRIBUTE(sim_quiet_fops, sim_link_get, sim_quiet_set, "%llu\n");

static ssize_t sim_event_write(struct file *f, const char __user *ubuf,
			       size_t count, loff_t *pos)
{
	char buf[32];
	unsigned long port, up;

	if (count >= sizeof(buf))
		return -EINVAL;
	if (copy_from_user(buf, ubuf, count))
		return -EFAULT;
	buf[count] = '\0';
	if (sscanf(buf, "%lu %lu", &port, &up) != 2)
		return -EINVAL;
	mutex_lock(&sim_link_mutex);
	sim_notify(port, up);
	mutex_unlock(&sim_link_mutex);
	return count;
}

static const struct file_operations sim_event_fops = {
	.owner = THIS_MODULE,
	.write = sim_event_write,
	.llseek = no_llseek,
};

int sim_link_init(struct dentry *dir)
{
	debugfs_create_file_unsafe("link", 0600, dir, NULL, &sim_link_fops);
	debugfs_create_file_unsafe("quiet_link", 0600, dir, NULL, &sim_quiet_fops);
	debugfs_create_file("event", 0200, dir, NULL, &sim_event_fops);
	debugfs_create_u32("fail_register", 0600, dir, &sim_fail_register);
	debugfs_create_atomic_t("listeners", 0400, dir, &sim_listeners);
	debugfs_create_u32("last_result", 0400, dir, &sim_last_result);
	return 0;
}
