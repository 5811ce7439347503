// Owner of a file descriptor: closed on every path, errno left as it was.
#pragma once

#include <unistd.h>

#include <cerrno>

namespace swport {

struct Fd {
    int fd;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd()
    {
        if (fd < 0)
            return;
        int e = errno;
        close(fd);
        errno = e;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

} // namespace swport
