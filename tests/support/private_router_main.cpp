// private_router PROGRAM [ARGS...]: runs PROGRAM in a fresh private router
// (private_router.h), for scripts: the demo, the package test.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "private_router.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: private_router PROGRAM [ARGS...]\n");
        return 2;
    }
    const char *step = "";
    if (testsupport::private_router_enter(&step)) {
        fprintf(stderr, "private_router: %s: %s\n", step, strerror(errno));
        return 126;
    }
    execvp(argv[1], argv + 1);
    fprintf(stderr, "private_router: exec %s: %s\n", argv[1], strerror(errno));
    return 127;
}
