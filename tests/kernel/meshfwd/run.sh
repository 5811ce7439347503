# The program builds the bridge and loads and unloads meshfwd_filter
# itself; meshfwd_tail shortens the frames that ask for it throughout, and
# meshfwd_order, loaded before it, watches where its hooks run.
. /rig/lib.sh
load_intree llc stp bridge veth
load_project meshfwd_tail
load_project meshfwd_order
run_prog /bin/meshfwd_check
