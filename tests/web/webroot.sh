#!/bin/sh
# webroot.sh DIR: makes DIR/root a router's root for the web stack and
# prints it: an overlay of / with the web set (scripts/router-web.sh) on
# top, its writes on a tmpfs at DIR, /etc/config a private folder holding
# the web set's configs, fresh /tmp, /run and /proc, and a /dev of its own
# with the few nodes its programs open: nothing of the host is mounted
# inside (a removal that crosses into it deletes nothing of the host's).
# LuCI hard-codes /www and /usr/lib/lua, so its programs run chrooted
# there; the host's /www and /etc/config are never touched. Unmount DIR
# (umount -R) before removing it.
# Needs root in a private mount namespace (tests/support's private_router).
set -eu
dir=$1
here=$(cd "$(dirname "$0")" && pwd)
web=${OVIMAR_WEB_ROOT:-$("$here/../../scripts/router-libs.sh" web)}
mkdir -p "$dir"
mount -t tmpfs -o mode=755 ovimar-web "$dir"
mkdir "$dir/up" "$dir/work" "$dir/root" "$dir/config"
cp -pR "$web/." "$dir/up/"
mount -t overlay ovimar-web -o "lowerdir=/,upperdir=$dir/up,workdir=$dir/work" "$dir/root"
r=$dir/root
cp "$web"/etc/config/* "$dir/config/"
mount --bind "$dir/config" "$r/etc/config"
mount -t proc ovimar-web-proc "$r/proc"
mount -t tmpfs -o mode=755 ovimar-web-dev "$r/dev"
for n in null:3 zero:5 full:7 random:8 urandom:9; do
    mknod -m 666 "$r/dev/${n%:*}" c 1 "${n#*:}"
done
mknod -m 666 "$r/dev/tty" c 5 0
ln -s /proc/self/fd "$r/dev/fd"
for m in tmp run; do mount -t tmpfs -o mode=1777 "ovimar-web-$m" "$r/$m"; done
# Inside the root: Debian's /var/run is a link to the absolute /run.
chroot "$r" sh -c 'mkdir -p "$(readlink -f /var/run)/ubus" "$(readlink -f /var/lock)"'
echo "$r"
