// The command table, its dispatcher and the help text.
#include <cstdio>
#include <cstring>

#include "qx_wifi_ctl.h"

// Table order is both the help order and the lookup order.
const qx_wifi_cmd qx_wifi_cmds[] = {
    {"vendorie", qx_wifi_agrv_vendorie, "[dev] {QXE(TYPE+LEN+OUI...) | 0}"},
    {"vendorie_clean", qx_wifi_agrv_vendorie_clean, "[dev]"},
    {"showie", qx_wifi_agrv_showie, "[dev]"},
    {"vsie_proberesp", qx_wifi_agrv_vsie_proberesp, "[dev] {VIE|0}"},
    {"vsie_proberx", qx_wifi_agrv_vsie_proberx, "[dev] {OUI|0}"},
    {"busy_time", qx_wifi_agrv_busy_time, "[dev]"},
    {"uci_get", qx_wifi_agrv_uci_get, ""},
    {"uci2mesh", qx_wifi_agrv_uci2mesh, ""},
    {"devcheck", qx_wifi_agrv_devcheck, "[ifname] [brname] [check times]"},
    {nullptr, nullptr, nullptr},
};

// 0 once a handler ran, whatever it returned: the exit status only says
// whether the command word was known.
int qx_wifi_do_cmds(const char *name, int argc, char **argv)
{
    for (const qx_wifi_cmd *cmd = qx_wifi_cmds; cmd->cmdname; cmd++) {
        if (qx_wifi_debug & QX_DBG_DISPATCH)
            printf("%s(%d): cmd->cmdname(%s) cmdname(%s)\n", "qx_wifi_do_cmds", 852,
                   cmd->cmdname, name);
        if (strcmp(cmd->cmdname, name) == 0 && cmd->handler) {
            cmd->handler(argc, argv);
            return 0;
        }
    }
    return -1;
}

void qx_wifi_print_help()
{
    puts("==== qx_wifi_ctl help =====");
    for (const qx_wifi_cmd *cmd = qx_wifi_cmds; cmd->cmdname; cmd++) {
        printf("  CMD:  %20s ", cmd->cmdname);
        if (cmd->usage)
            printf(" %s", cmd->usage);
        printf("\n");
    }
    printf("\n");
}
