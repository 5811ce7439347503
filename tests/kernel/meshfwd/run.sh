# The program builds the bridge and loads and unloads meshfwd_filter
# itself; meshfwd_tail shortens the frames that ask for it throughout.
. /rig/lib.sh
load_intree llc stp bridge veth
load_project meshfwd_tail
run_prog /bin/meshfwd_check
