# Stand-in for cmake.mk: nothing is built here.
