# Stand-in for kernel.mk: AutoProbe names the modules it would load.
AutoProbe = $(1)
KERNEL_MAKE_FLAGS:=
