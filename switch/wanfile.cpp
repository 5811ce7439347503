// The WAN port as text in wanport_helper's proc file.
#include "nl.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fd.h"

namespace swport {

int wan_read(const char *path)
{
    Fd f(open(path, O_RDONLY | O_CLOEXEC));
    if (f.fd < 0)
        return -2;
    char text[32] = {};
    if (read(f.fd, text, sizeof(text) - 1) <= 0)
        return -2;
    return std::atoi(text);
}

int wan_write(const char *path, int port)
{
    Fd f(open(path, O_WRONLY | O_CLOEXEC));
    if (f.fd < 0)
        return -1;
    char text[16];
    int len = std::snprintf(text, sizeof(text), "%d", port);
    return write(f.fd, text, len) == len ? 0 : -1;
}

} // namespace swport
