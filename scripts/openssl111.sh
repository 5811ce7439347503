#!/bin/sh
# Unpacks OpenSSL 1.1.1 (what a 21.02 router's SDK carries) into a cached
# prefix, once, and prints the prefix: Debian 11's libssl-dev and
# libssl1.1, fetched with apt from Debian's archive into private state,
# so the machine's own apt setup and packages are left as they are.
#
#   OPENSSL111_CACHE  the prefix (/var/cache/ovimar-openssl111)
set -eu
prefix=${OPENSSL111_CACHE:-/var/cache/ovimar-openssl111}
arch=$(dpkg --print-architecture)
triplet=$(gcc -dumpmachine)
if [ -f "$prefix/.built" ]; then
    echo "$prefix"
    exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/debs"
touch "$work/status"
keys=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$work/sources.list" <<EOF
deb [signed-by=$keys] http://deb.debian.org/debian bullseye main
deb [signed-by=$keys] http://deb.debian.org/debian-security bullseye-security main
EOF
apt() {
    apt-get -q -o Dir::Etc::SourceList="$work/sources.list" \
        -o Dir::Etc::SourceParts=/nonexistent -o Dir::State::Lists="$work/lists" \
        -o Dir::State::Status="$work/status" -o Dir::Cache="$work/cache" \
        -o APT::Architecture="$arch" "$@"
}
apt update >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; exit 1; }
# apt-get download drops to the _apt user when it can write there.
chmod 777 "$work/debs"
(cd "$work/debs" && apt download libssl-dev libssl1.1) >>"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; echo "openssl111: cannot fetch Debian 11's OpenSSL" >&2; exit 1; }

rm -rf "$prefix.part"
mkdir -p "$prefix.part"
for deb in "$work"/debs/*.deb; do
    dpkg-deb -x "$deb" "$prefix.part"
done
# Out of the multiarch folders, where compilers and CMake would find the
# host's OpenSSL 3 instead: the configuration header and the libraries.
cp "$prefix.part/usr/include/$triplet/openssl/"*.h "$prefix.part/usr/include/openssl/"
mv "$prefix.part/usr/lib/$triplet/"* "$prefix.part/usr/lib/"
ls "$work"/debs >"$prefix.part/.built"
rm -rf "$prefix"
mv "$prefix.part" "$prefix"
echo "$prefix"
