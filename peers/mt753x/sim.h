/* Simulated MT753x switch driver: shared state of its parts. */
#ifndef MT753X_SIM_H
#define MT753X_SIM_H

#include <linux/dcache.h>

#define SIM_PORTS 7

int sim_link_init(struct dentry *dir);
int sim_genl_init(struct dentry *dir);
void sim_genl_exit(void);

#endif
