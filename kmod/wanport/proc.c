// SPDX-License-Identifier: GPL-2.0 OR BSD-2-Clause
/* /proc/wand_port: reads "%d\n" of the WAN port, takes -1 or 0..3. */
#include <linux/delay.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/proc_fs.h>
#include <linux/uaccess.h>
#include <linux/version.h>

#include "wanport.h"

static struct proc_dir_entry *wp_proc;
/* One writer at a time, so each change keeps its pause through -1. */
static DEFINE_MUTEX(wp_write_mutex);

static ssize_t wp_proc_read(struct file *f, char __user *ubuf, size_t count,
			    loff_t *pos)
{
	char buf[16];
	int len = scnprintf(buf, sizeof(buf), "%d\n", READ_ONCE(wp_wan_port));
	size_t n;

	if (*pos < 0)
		return -EINVAL;
	if (*pos >= len)
		return 0;
	n = min_t(size_t, len - *pos, count);
	if (copy_to_user(ubuf, buf + *pos, n))
		return -EFAULT;
	*pos += n;
	return n;
}

static void wp_choose(int port)
{
	int cur = READ_ONCE(wp_wan_port);

	if (port == -1) {
		WRITE_ONCE(wp_wan_port, -1);
		wp_set_carrier_by_name(wp_wan_ifname, -1, 0);
		return;
	}
	/* Let the far end see the WAN link drop before another port takes over. */
	if (cur != port && cur != -1) {
		WRITE_ONCE(wp_wan_port, -1);
		wp_set_carrier_by_name(wp_wan_ifname, -1, 0);
		msleep(300);
	}
	WRITE_ONCE(wp_wan_port, port);
	wp_set_carrier_by_name(wp_wan_ifname, port, -1);
}

static ssize_t wp_proc_write(struct file *f, const char __user *ubuf,
			     size_t count, loff_t *pos)
{
	long val;
	int err = kstrtol_from_user(ubuf, count, 10, &val);

	if (err)
		return err;
	/* Checked before any narrowing: 4294967298 is not port 2. */
	if (val < -1 || val >= WP_PORTS)
		return -EINVAL;
	err = mutex_lock_interruptible(&wp_write_mutex);
	if (err)
		return err;
	wp_choose((int)val);
	mutex_unlock(&wp_write_mutex);
	*pos = count;
	return count;
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 6, 0)
static const struct proc_ops wp_proc_ops = {
	.proc_read = wp_proc_read,
	.proc_write = wp_proc_write,
	.proc_lseek = default_llseek,
};
#else
static const struct file_operations wp_proc_ops = {
	.owner = THIS_MODULE,
	.read = wp_proc_read,
	.write = wp_proc_write,
	.llseek = default_llseek,
};
#endif

int wp_proc_init(void)
{
	wp_proc = proc_create("wand_port", 0660, NULL, &wp_proc_ops);
	return wp_proc ? 0 : -EBUSY;
}

void wp_proc_exit(void)
{
	proc_remove(wp_proc);
}
