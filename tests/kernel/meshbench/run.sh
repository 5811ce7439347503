# The program builds the bridge and loads and unloads meshfwd_filter itself.
. /rig/lib.sh
load_intree llc stp bridge veth
run_prog /bin/meshfwd_bench
