/* The public header compiled as C, and the status values the router's
 * library has, which callers compare against and log as numbers. */
#include <libubus.h>

_Static_assert(UBUS_STATUS_OK == 0, "status");
_Static_assert(UBUS_STATUS_INVALID_COMMAND == 1, "status");
_Static_assert(UBUS_STATUS_INVALID_ARGUMENT == 2, "status");
_Static_assert(UBUS_STATUS_METHOD_NOT_FOUND == 3, "status");
_Static_assert(UBUS_STATUS_NOT_FOUND == 4, "status");
_Static_assert(UBUS_STATUS_NO_DATA == 5, "status");
_Static_assert(UBUS_STATUS_PERMISSION_DENIED == 6, "status");
_Static_assert(UBUS_STATUS_TIMEOUT == 7, "status");
_Static_assert(UBUS_STATUS_NOT_SUPPORTED == 8, "status");
_Static_assert(UBUS_STATUS_UNKNOWN_ERROR == 9, "status");
_Static_assert(UBUS_STATUS_CONNECTION_FAILED == 10, "status");
_Static_assert(UBUS_MAX_MSGLEN == 1048576, "message bound");
_Static_assert(sizeof(struct ubus_msghdr) == 8, "header");

/* an event handler record as the agent declares it: static, zeroed */
static struct ubus_event_handler handler;

int c_header_handler_unregistered(void)
{
	return handler.obj.id == 0 && handler.cb == NULL;
}
