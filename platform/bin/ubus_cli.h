// The host ubus command's parts: options, the message buffer, commands.
#pragma once

#include <cstdint>

extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubus.h>
}

namespace ubus_cli {

struct options {
    int timeout = 30;        // -t: seconds a call or wait_for may take
    int listen_timeout = 0;  // -t too: seconds listen and subscribe run, 0 for ever
    bool simple = false;     // -S: no messages on standard error
    int verbose = 0;
    int monitor_dir = -1;    // -M: 0 received, 1 sent, -1 both
    uint32_t monitor_mask = 0;
};

extern options g_opt;
extern blob_buf g_buf;

// Each returns 0, a bus status (reported by main), -1 (already reported)
// or -2 (main prints the usage text).
using command_fn = int (*)(ubus_context *ctx, int argc, char **argv);
int cmd_listen(ubus_context *ctx, int argc, char **argv);
int cmd_subscribe(ubus_context *ctx, int argc, char **argv);
int cmd_wait_for(ubus_context *ctx, int argc, char **argv);
int cmd_monitor(ubus_context *ctx, int argc, char **argv);
// -m: false for a type the monitor does not know.
bool monitor_add_type(const char *name);

} // namespace ubus_cli
