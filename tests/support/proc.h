// Running the real programs from tests: one-shot runs, long-lived children
// stopped by PID, and private temporary folders.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

struct RunOptions {
    std::vector<std::string> env;  // "NAME=value", added to the environment
    std::string input;             // written to the program's standard input
    int timeout_ms = 30000;        // the program is killed past this
};

struct Result {
    int code = -1;       // exit status, or -1 when killed
    int signal = 0;      // the signal that ended it, if any
    bool timed_out = false;
    std::string out;
    std::string err;
};

Result run(const std::vector<std::string> &argv, const RunOptions &opt = {});

// Where a Child runs, as its router argument: the caller's own mount
// namespace (0), a fresh private router of its own (FRESH_ROUTER, see
// private_router.h), or the private router another process is in (its PID).
constexpr pid_t FRESH_ROUTER = -1;

// A background program whose output goes to files; stopped and reaped by
// PID when the object dies, whatever the test's outcome.
class Child {
public:
    Child() = default;
    Child(const std::vector<std::string> &argv, const std::string &out_path,
          const std::vector<std::string> &env = {}, pid_t router = 0);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    Child(Child &&o) noexcept;
    Child &operator=(Child &&o) noexcept;

    pid_t pid() const { return pid_; }
    bool running();
    // Sends sig, waits up to timeout_ms; returns the wait status or -1.
    int stop(int sig = 15, int timeout_ms = 5000);
    int wait(int timeout_ms);

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(std::string_view name) const;
    static int live(); // how many exist in this process

private:
    std::string path_;
};

std::string read_file(const std::string &path);
// Whether something listens on the Unix socket: its file alone comes first.
bool unix_accepts(const std::string &path);
void write_file(const std::string &path, std::string_view data);
// Polls until pred() holds or timeout_ms passes.
bool wait_until(int timeout_ms, bool (*pred)(void *), void *arg);
template <class F> bool wait_for(int timeout_ms, F f)
{
    return wait_until(timeout_ms, [](void *p) { return (*static_cast<F *>(p))(); }, &f);
}

} // namespace testsupport
