// Files for the host libuci: owned descriptors, whole-file reads, locking
// the file a path names now, and replacing a file in one step.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace uci::io {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd();
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd &operator=(Fd &&o) noexcept;
    int get() const { return fd_; }

private:
    int fd_;
};

bool read_all(int fd, std::string &out);
bool write_all(int fd, std::string_view data);
bool make_dirs(const std::string &dir, mode_t mode);

// Opens path and takes an exclusive lock on the file it names once the
// lock is held: a writer that replaced it meanwhile is noticed. Returns
// an errno value, 0 on success.
int lock_current(const std::string &path, Fd &out);

// Writes data to a temporary file beside path, flushes it to disk and
// renames it over path, so readers see the old or the new file, never a
// part. Returns an errno value, 0 on success.
int replace_file(const std::string &path, std::string_view data, mode_t mode);

} // namespace uci::io
