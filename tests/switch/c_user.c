/* A C program using the installed interface: the public header and the
 * shared library. The host kernel has no "mt753x-wand" family. */
#include <errno.h>
#include <linux/netlink.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <swport.h>

int main(void)
{
    unsigned char buf[SWPORT_FDB_ENTRY_SIZE * 2];
    int r = socket(AF_NETLINK, SOCK_RAW, NETLINK_GENERIC);

    /* qemu-user does not emulate Generic Netlink sockets: skipped (77). */
    if (r < 0) {
        printf("no Generic Netlink sockets here\n");
        return 77;
    }
    close(r);
    errno = 0;
    r = get_fdb(buf, 2);
    if (r != SWPORT_ERR_FAMILY_BASE + SWPORT_ERR_KERNEL || errno != ENOENT) {
        printf("get_fdb: %d, errno %d\n", r, errno);
        return 1;
    }
    if (access("/proc/wand_port", F_OK) != 0 && get_wan() != -2) {
        printf("get_wan without /proc/wand_port: %d\n", get_wan());
        return 1;
    }
    return 0;
}
