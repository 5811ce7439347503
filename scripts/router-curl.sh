#!/bin/sh
# Builds libcurl the way a router's firmware does, from Debian's own curl
# source package, into a private prefix, once, and prints that prefix.
# scripts/router-libs.sh runs it as its set "curl".
#
#   ROUTER_LIBS_CACHE  where prefixes live (/var/cache/ovimar-router-libs)
#
# The options are the defaults of OpenWrt's libcurl package on OpenSSL:
# HTTP(S), FILE and FTP, cookies and proxies; no other protocol, no
# HTTP/2, IDN, PSL, SSH, compression, GSS-API or threaded resolver (its
# default is the blocking one); NTLM off as its CPPFLAGS have it; -Os with
# unused sections dropped. Only the shared library is built: the agent
# links nothing else of it. The source is that of the installed libcurl4,
# so both agents the bench compares run the same curl code, with Debian's
# patches minus the two that rename the library for GnuTLS and NSS.
set -eu
cache=${ROUTER_LIBS_CACHE:-/var/cache/ovimar-router-libs}
prefix=$cache/curl
stamp=$prefix/.built

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

set -- --enable-shared --disable-static --disable-debug --disable-manual \
    --disable-ares --enable-ipv6 \
    --with-openssl --without-gnutls --without-wolfssl --without-mbedtls \
    --without-nss --without-rustls --without-hyper \
    --without-librtmp --without-libpsl --without-libgsasl --without-libidn2 \
    --without-libssh2 --without-libssh --without-wolfssh \
    --without-nghttp2 --without-ngtcp2 --without-nghttp3 --without-quiche \
    --without-msh3 --without-zlib --without-brotli --without-zstd \
    --without-gssapi --without-ca-path \
    --with-ca-bundle=/etc/ssl/certs/ca-certificates.crt \
    --enable-http --enable-file --enable-ftp --disable-dict --disable-gopher \
    --disable-imap --disable-ldap --disable-ldaps --disable-pop3 --disable-rtsp \
    --disable-smb --disable-smtp --disable-telnet --disable-tftp --disable-mqtt \
    --disable-websockets \
    --enable-cookies --enable-proxy --disable-crypto-auth --disable-libcurl-option \
    --disable-threaded-resolver --disable-tls-srp --disable-unix-sockets \
    --disable-verbose
cflags="-Os -pipe -fPIC -ffunction-sections -fdata-sections"
cppflags=-DCURL_DISABLE_NTLM
ldflags=-Wl,--gc-sections

# One version even where another architecture's libcurl4 is installed too.
version=$(dpkg-query -W -f='${source:Version}' "libcurl4:$(dpkg --print-architecture)" \
    2>/dev/null || true)
want="curl ${version:-newest} $cflags $cppflags $ldflags $*"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    echo "$prefix"
    exit 0
fi

# dpkg-dev unpacks the source; autotools remake it after Debian's patches.
need=
for p in build-essential dpkg-dev autoconf automake libtool libssl-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        need="$need $p"
done
if [ -n "$need" ]; then
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $need >&2
fi

# apt-get source needs deb-src entries; Debian 12 has only binary ones.
# They are added beside the archive's own, once, in the form it uses.
if ! apt-cache showsrc curl 2>/dev/null | grep -q '^Package: curl'; then
    list=/etc/apt/sources.list.d/debian.sources
    if ! grep -rqs -e '^[[:space:]]*deb-src[[:space:]]' -e '^Types:.*deb-src' \
            /etc/apt/sources.list /etc/apt/sources.list.d/; then
        if [ -f "$list" ]; then
            sed 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/' "$list" |
                $SUDO tee /etc/apt/sources.list.d/ovimar-deb-src.sources >/dev/null
        else
            sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list |
                $SUDO tee /etc/apt/sources.list.d/ovimar-deb-src.list >/dev/null
        fi
    fi
    $SUDO apt-get update >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log=$work/build.log
# apt-get source drops to the _apt user when it can write there.
chmod 755 "$work"
chown _apt "$work" 2>/dev/null || true
fail() {
    cat "$log" >&2
    echo "router-curl: $1 failed" >&2
    exit 1
}
(cd "$work" && apt-get source -q "curl${version:+=$version}") >"$log" 2>&1 ||
    (cd "$work" && apt-get source -q curl) >"$log" 2>&1 || fail "apt-get source curl"
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'curl-*' | head -n 1)
[ -n "$src" ] || fail "unpacking curl"
cd "$src"
# As Debian's rules do for its OpenSSL flavour: the last two patches rename
# the library; autoreconf remakes the build files from the patched sources,
# and the patched ltmain.sh must outlive it.
for p in 99_nss.patch 90_gnutls.patch; do
    if [ -f "debian/patches/$p" ]; then
        patch -R -s -p1 <"debian/patches/$p" >>"$log" 2>&1 || fail "reverting $p"
    fi
done
cp ltmain.sh "$work/ltmain.sh"
autoreconf -fi >>"$log" 2>&1 || fail autoreconf
cp "$work/ltmain.sh" ltmain.sh

rm -rf "$prefix"
mkdir -p "$prefix"
./configure --prefix="$prefix" CFLAGS="$cflags" CPPFLAGS="$cppflags" LDFLAGS="$ldflags" \
    "$@" >>"$log" 2>&1 || fail configure
# The library, its headers, libcurl.pc and curl-config: not the curl tool.
make -j2 -C lib >>"$log" 2>&1 || fail "make"
{ make -C lib install-strip && make -C include install &&
    make install-pkgconfigDATA install-binSCRIPTS; } >>"$log" 2>&1 || fail "make install"
rm -f "$prefix/lib/libcurl.la"
echo "$want" >"$stamp"
echo "$prefix"
