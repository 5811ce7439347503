# eth0 (a dummy) carries the LAN VLANs eth0.3..eth0.6; eth1 is the WAN side.
. /rig/lib.sh
load_intree llc stp garp mrp 8021q
insmod /lib/modules/kernel/dummy.ko numdummies=0 || fail "insmod dummy"
ip link add eth0 type dummy
ip link add eth1 type dummy
for v in 3 4 5 6; do
    ip link add link eth0 name eth0.$v type vlan id $v
done
for d in eth0 eth1 eth0.3 eth0.4 eth0.5 eth0.6; do
    ip link set "$d" up || fail "bring $d up"
done
load_project mt753x_sim
run_prog /bin/wanport_check
