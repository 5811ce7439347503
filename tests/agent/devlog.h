// /dev/log of the test's private router: a datagram socket of the test's
// own, bound over the path the C library's syslog() sends to. Where the
// host has no /dev/log, /dev is first overlaid (in the router's mount
// namespace only) so the path can exist.
#pragma once

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "proc.h"

struct DevLog {
    int fd = -1;
    std::string why; // empty when it is served

    explicit DevLog(const testsupport::TempDir &dir)
    {
        std::string sock = dir.file("devlog.sock");
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", sock.c_str());
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            why = "socket " + sock;
            return;
        }
        struct stat st;
        if (lstat("/dev/log", &st) != 0) {
            // The world's /tmp is an overlay: no upper layer can live there.
            std::string fs = dir.file("dev.fs"), up = fs + "/up", work = fs + "/work";
            mkdir(fs.c_str(), 0755);
            if (mount("tmpfs", fs.c_str(), "tmpfs", 0, "mode=0755") != 0) {
                why = "tmpfs " + fs;
                return;
            }
            mkdir(up.c_str(), 0755);
            mkdir(work.c_str(), 0755);
            std::string opts = "lowerdir=/dev,upperdir=" + up + ",workdir=" + work;
            if (mount("overlay", "/dev", "overlay", 0, opts.c_str()) != 0) {
                why = "overlay /dev";
                return;
            }
            int f = open("/dev/log", O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
            if (f >= 0)
                close(f);
        }
        if (mount(sock.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0)
            why = "bind over /dev/log";
    }
    ~DevLog()
    {
        if (fd >= 0)
            close(fd);
    }
    DevLog(const DevLog &) = delete;
    DevLog &operator=(const DevLog &) = delete;

    // Every datagram that has come since the last call, appended to all.
    void drain(std::vector<std::string> &all) const
    {
        char buf[65536];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) >= 0)
            all.emplace_back(buf, static_cast<size_t>(n));
    }
};
