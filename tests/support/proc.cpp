#include "proc.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "private_router.h"

namespace testsupport {

namespace {

long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

[[noreturn]] void exec_child(const std::vector<std::string> &argv,
                             const std::vector<std::string> &env)
{
    for (const auto &e : env)
        putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    fprintf(stderr, "exec %s: %s\n", args[0], strerror(errno));
    _exit(127);
}

void decode_status(int st, Result &r)
{
    if (WIFEXITED(st)) {
        r.code = WEXITSTATUS(st);
    } else if (WIFSIGNALED(st)) {
        r.signal = WTERMSIG(st);
    }
}

int waitpid_for(pid_t pid, int timeout_ms, int *status)
{
    long end = now_ms() + timeout_ms;
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return 0;
        if (r < 0 && errno != EINTR)
            return -1;
        if (now_ms() >= end)
            return -1;
        usleep(2000);
    }
}

} // namespace

Result run(const std::vector<std::string> &argv, const RunOptions &opt)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        exec_child(argv, opt.env);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);

    Result r;
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    if (opt.input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    long end = now_ms() + opt.timeout_ms;
    int open_fds = 2;
    while (open_fds > 0) {
        pollfd p[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        int left = static_cast<int>(end - now_ms());
        if (left <= 0) {
            kill(pid, SIGKILL);
            r.timed_out = true;
            break;
        }
        if (poll(p, in[1] >= 0 ? 3 : 2, left) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof(buf));
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(p[i].fd);
                (i == 0 ? out[0] : err[0]) = -1;
                open_fds--;
            }
        }
        if (in[1] >= 0 && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(in[1], opt.input.data() + written, opt.input.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if (n < 0 || written == opt.input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    for (int fd : {out[0], err[0], in[1]})
        if (fd >= 0)
            close(fd);

    int st = 0;
    waitpid(pid, &st, 0);
    decode_status(st, r);
    if (r.timed_out)
        r.code = -1;
    return r;
}

Child::Child(const std::vector<std::string> &argv, const std::string &out_path,
             const std::vector<std::string> &env, pid_t router)
{
    int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("open " + out_path);
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork");
    if (pid_ == 0) {
        int nul = open("/dev/null", O_RDONLY);
        dup2(nul, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        const char *step = nullptr;
        if ((router == FRESH_ROUTER && private_router_enter(&step)) ||
            (router > 0 && private_router_join(router, &step))) {
            fprintf(stderr, "private router: %s: %s\n", step, strerror(errno));
            _exit(126);
        }
        exec_child(argv, env);
    }
    close(fd);
}

Child::~Child()
{
    if (pid_ > 0 && stop(SIGTERM, 3000) < 0)
        stop(SIGKILL, 3000);
}

Child::Child(Child &&o) noexcept : pid_(o.pid_), status_(o.status_) { o.pid_ = -1; }

Child &Child::operator=(Child &&o) noexcept
{
    if (this != &o) {
        if (pid_ > 0)
            stop(SIGKILL, 3000);
        pid_ = o.pid_;
        status_ = o.status_;
        o.pid_ = -1;
    }
    return *this;
}

bool Child::running()
{
    if (pid_ <= 0)
        return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = st;
        pid_ = -1;
        return false;
    }
    return true;
}

int Child::wait(int timeout_ms)
{
    if (pid_ <= 0)
        return status_;
    int st = 0;
    if (waitpid_for(pid_, timeout_ms, &st) < 0)
        return -1;
    status_ = st;
    pid_ = -1;
    return st;
}

int Child::stop(int sig, int timeout_ms)
{
    if (pid_ <= 0)
        return status_;
    kill(pid_, sig);
    return wait(timeout_ms);
}

namespace {
int g_live_temp_dirs;
}

int TempDir::live() { return g_live_temp_dirs; }

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ovimar-test.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp");
    path_ = buf.data();
    g_live_temp_dirs++;
}

TempDir::~TempDir()
{
    g_live_temp_dirs--;
    // Tests may leave sockets, fifos and read-only folders behind.
    std::string cmd = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string TempDir::file(std::string_view name) const
{
    return path_ + "/" + std::string(name);
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string &path, std::string_view data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!f)
        throw std::runtime_error("write " + path);
}

bool wait_until(int timeout_ms, bool (*pred)(void *), void *arg)
{
    long end = now_ms() + timeout_ms;
    for (;;) {
        if (pred(arg))
            return true;
        if (now_ms() >= end)
            return false;
        usleep(5000);
    }
}

bool unix_accepts(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s", path.c_str());
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

} // namespace testsupport
