#include "io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace uci::io {

Fd::~Fd()
{
    if (fd_ >= 0)
        close(fd_);
}

Fd &Fd::operator=(Fd &&o) noexcept
{
    if (this != &o) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

bool read_all(int fd, std::string &out)
{
    out.clear();
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

bool write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool make_dirs(const std::string &dir, mode_t mode)
{
    for (size_t i = 1; i <= dir.size(); i++) {
        if (i < dir.size() && dir[i] != '/')
            continue;
        std::string part = dir.substr(0, i);
        if (mkdir(part.c_str(), mode) < 0 && errno != EEXIST)
            return false;
    }
    struct stat st{};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int lock_current(const std::string &path, Fd &out)
{
    for (;;) {
        Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0)
            return errno;
        while (flock(fd.get(), LOCK_EX) < 0) {
            if (errno != EINTR)
                return errno;
        }
        struct stat held{}, now{};
        if (fstat(fd.get(), &held) < 0)
            return errno;
        if (stat(path.c_str(), &now) == 0 && now.st_dev == held.st_dev &&
            now.st_ino == held.st_ino) {
            out = std::move(fd);
            return 0;
        }
    }
}

int replace_file(const std::string &path, std::string_view data, mode_t mode)
{
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "."
                      : slash == 0                ? "/"
                                                  : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmpl = dir + "/." + base + ".uci-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');

    Fd fd(mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return errno;
    int err = 0;
    errno = 0;
    if (fchmod(fd.get(), mode) < 0 || !write_all(fd.get(), data) || fsync(fd.get()) < 0)
        err = errno ? errno : EIO;
    if (!err && rename(name.data(), path.c_str()) < 0)
        err = errno;
    if (err) {
        unlink(name.data());
        return err;
    }
    // The rename itself must survive a power cut too.
    Fd d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.get() >= 0)
        fsync(d.get());
    return 0;
}

} // namespace uci::io
