// qx_wifi_ctl: one command per run, looked up in the command table.
#include "qx_wifi_ctl.h"

int main(int argc, char **argv)
{
    if (argc <= 1 || qx_wifi_do_cmds(argv[1], argc - 2, argv + 2) != 0) {
        qx_wifi_print_help();
        return 255;
    }
    return 0;
}
