// Owner of a socket descriptor: closed on every path out of a scope.
#pragma once

#include <unistd.h>

struct qx_sock {
    int fd;
    explicit qx_sock(int f) : fd(f) {}
    ~qx_sock()
    {
        if (fd >= 0)
            close(fd);
    }
    qx_sock(const qx_sock &) = delete;
    qx_sock &operator=(const qx_sock &) = delete;
};
