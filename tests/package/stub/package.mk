# Stand-in for package.mk: BuildPackage and KernelPackage print each
# package's fields ("package NAME|SECTION|CATEGORY|TITLE|DEPENDS", "kmod
# NAME|TITLE|FILES|AUTOLOAD|DEPENDS") and give it a target install-NAME
# that runs its install commands into $(OUT)/NAME. Target dev runs
# Build/InstallDev into $(OUT)/dev.
FIELDS:=SECTION CATEGORY SUBMENU TITLE DEPENDS URL FILES AUTOLOAD

define BuildPackage
$(foreach v,$(FIELDS),$(eval $(v):=))
$(eval $(Package/$(1)))
$(info package $(1)|$(SECTION)|$(CATEGORY)|$(TITLE)|$(strip $(DEPENDS)))
$(if $(Package/$(1)/description),,$(info missing $(1) description))
$(if $(Package/$(1)/install),,$(info missing $(1) install))
install: install-$(1)
install-$(1):
	$$(call Package/$(1)/install,$$(OUT)/$(1))
endef

define KernelPackage
$(foreach v,$(FIELDS),$(eval $(v):=))
$(eval $(KernelPackage/$(1)))
$(info kmod $(1)|$(TITLE)|$(FILES)|$(AUTOLOAD)|$(strip $(DEPENDS)))
$(if $(KernelPackage/$(1)/description),,$(info missing kmod-$(1) description))
endef

dev:
	$(call Build/InstallDev,$(OUT)/dev)
