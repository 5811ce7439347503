# The program loads and unloads the stand-in and wanport_helper itself.
. /rig/lib.sh
run_prog /bin/swport_check
