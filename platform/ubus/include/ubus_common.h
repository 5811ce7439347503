/*
 * Host stand-in of the router's libubus: constants shared by the library,
 * the bus daemon and the command.
 */
#ifndef __UBUS_COMMON_H
#define __UBUS_COMMON_H

#define UBUS_UNIX_SOCKET "/var/run/ubus/ubus.sock"

#define UBUS_SIGNATURE_METHOD	(BLOBMSG_TYPE_LAST + 1)
#define UBUS_SIGNATURE_END	(BLOBMSG_TYPE_LAST + 2)

#endif
