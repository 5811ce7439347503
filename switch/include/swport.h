/*
 * libswport: queries of the MT753x switch over its "mt753x-wand" Generic
 * Netlink family, and the WAN port of /proc/wand_port.
 *
 * Every function returns a 32-bit signed result; a negative one is an
 * error code below. Entries are passed through as the switch driver
 * defines them.
 */
#ifndef SWPORT_H
#define SWPORT_H

#ifdef __cplusplus
extern "C" {
#endif

#define SWPORT_FDB_ENTRY_SIZE 10  /* MAC (6), 16-bit value, 16-bit port */
#define SWPORT_VLAN_ENTRY_SIZE 6
#define SWPORT_PVID_ENTRY_SIZE 4
#define SWPORT_PORT_ENTRY_SIZE 16
#define SWPORT_MAX_PVID 7         /* get_pvid fills at most 28 bytes */
#define SWPORT_MAX_PORT 7         /* get_port fills at most 112 bytes */

/* Netlink error codes. */
#define SWPORT_ERR_SOCKET (-1)
#define SWPORT_ERR_BIND (-2)
#define SWPORT_ERR_SEND (-20)
#define SWPORT_ERR_RECV (-22)
#define SWPORT_ERR_TRUNC (-23)
#define SWPORT_ERR_SHORT (-24)
#define SWPORT_ERR_KERNEL (-25)      /* errno holds the kernel's error */
#define SWPORT_ERR_ENTRY_SIZE (-100)
#define SWPORT_ERR_NO_ENTRY (-123)
#define SWPORT_ERR_NOT_ACK (-124)
#define SWPORT_ERR_NO_FAMILY (-1010)
/* A failed family resolution adds -1000 to the exchange's code: a missing
 * family is -1025 with errno set. */
#define SWPORT_ERR_FAMILY_BASE (-1000)

/* Up to max 10-byte forwarding entries; returns the number copied. */
int get_fdb(void *entries, int max);
/* Up to max 6-byte VLAN entries; returns the number copied. */
int get_vlan(void *entries, int max);
/* Up to 7 4-byte port VLAN identifiers; returns the number copied. */
int get_pvid(void *entries);
/* Up to 7 16-byte port records; returns the number copied. */
int get_port(void *entries);
/* The WAN port, -1 when none is set, -2 when /proc/wand_port is unusable. */
int get_wan(void);
/* Sets the WAN port (-1..3): 0, or -1 when refused. */
int set_wan(int port);
/* Sends the WAN/LAN assignment; once acknowledged, set_wan(wan). */
int set_wan_lan(int wan, int lan0, int lan1, int lan2, int lan3);
/* The switch port (0..4) that has learnt mac, -1 for 5 and above. */
int sw_find_port(const unsigned char *mac);

#ifdef __cplusplus
}
#endif

#endif
