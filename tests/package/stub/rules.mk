# Stand-in for the OpenWrt build's rules.mk: only what package/ovimar's
# Makefile reads at parse time. The install helpers are the ones OpenWrt
# defines, with their modes.
INSTALL_DIR:=install -d -m0755
INSTALL_BIN:=install -m0755
INSTALL_DATA:=install -m0644
INSTALL_CONF:=install -m0600
CP:=cp -fpR
LINUX_DIR:=/nonexistent/linux
