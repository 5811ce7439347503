// SPDX-License-Identifier: GPL-2.0
/*
 * Test fixture for wanport_helper: holds /proc/wand_port so that the
 * helper's proc_create fails and its load has to take the failure path.
 * Reads "squat\n", so a helper that removed or replaced it shows.
 */
#include <linux/module.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>

static struct proc_dir_entry *squat;

static int squat_show(struct seq_file *m, void *v)
{
	seq_puts(m, "squat\n");
	return 0;
}

static int __init squat_init(void)
{
	squat = proc_create_single("wand_port", 0444, NULL, squat_show);
	return squat ? 0 : -EBUSY;
}

static void __exit squat_exit(void)
{
	proc_remove(squat);
}

module_init(squat_init);
module_exit(squat_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Holds /proc/wand_port for the wanport_helper tests");
