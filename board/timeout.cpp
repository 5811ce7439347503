// The router's old busybox timeout, kept for tests of its -t syntax:
//   timeout [-s SIG] [-k SECS] -t SECS PROG [ARGS...]   (the router's syntax)
//   timeout [-s SIG] [-k SECS] SECS PROG [ARGS...]      (newer busybox)
// Runs PROG with the caller's input and output, sends SIG (TERM) at the
// limit and exits with PROG's status, or 128+N when signal N ended it.
// PROG runs in its own process group, so the signal reaches what it
// started too.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

struct Signal {
    const char *name;
    int num;
};

constexpr Signal SIGNALS[] = {
    {"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"KILL", SIGKILL},
    {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"ALRM", SIGALRM}, {"TERM", SIGTERM},
    {"CONT", SIGCONT}, {"STOP", SIGSTOP},
};

// Signals that stop timeout itself are passed on to the command instead.
constexpr int FORWARDED[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

int usage()
{
    fputs("Usage: timeout [-s SIG] [-k KILL_SECS] -t SECS PROG [ARGS]\n"
          "Run PROG. Send SIG (TERM) to it after SECS seconds; 0 waits forever.\n",
          stderr);
    return 1;
}

int parse_signal(const char *s)
{
    if (!strncasecmp(s, "SIG", 3))
        s += 3;
    char *end = nullptr;
    long n = strtol(s, &end, 10);
    if (*s && !*end)
        return n > 0 && n < NSIG ? static_cast<int>(n) : -1;
    for (const Signal &sig : SIGNALS) {
        if (!strcasecmp(s, sig.name))
            return sig.num;
    }
    return -1;
}

bool parse_secs(const char *s, double *out)
{
    char *end = nullptr;
    errno = 0;
    double v = strtod(s, &end);
    if (!*s || *end || errno || !std::isfinite(v) || v < 0 || v > 1e9)
        return false;
    *out = v;
    return true;
}

timespec after(double secs)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    double whole = std::floor(secs);
    now.tv_sec += static_cast<time_t>(whole);
    now.tv_nsec += static_cast<long>((secs - whole) * 1e9);
    if (now.tv_nsec >= 1000000000L) {
        now.tv_sec++;
        now.tv_nsec -= 1000000000L;
    }
    return now;
}

// Time left until deadline, or false when it has passed.
bool left(const timespec &deadline, timespec *out)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ns = (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
    if (ns <= 0)
        return false;
    out->tv_sec = static_cast<time_t>(ns / 1000000000LL);
    out->tv_nsec = static_cast<long>(ns % 1000000000LL);
    return true;
}

void send(pid_t pid, int sig)
{
    // The group first; the command alone if it left the group.
    if (kill(-pid, sig) < 0)
        kill(pid, sig);
}

struct Options {
    int sig = SIGTERM;
    double secs = -1;
    double kill_after = 0;
    char **argv = nullptr;
};

bool parse_args(int argc, char **argv, Options &o)
{
    int opt;
    while ((opt = getopt(argc, argv, "+s:t:k:")) != -1) {
        switch (opt) {
        case 's':
            if ((o.sig = parse_signal(optarg)) < 0) {
                fprintf(stderr, "timeout: unknown signal '%s'\n", optarg);
                return false;
            }
            break;
        case 't':
            if (!parse_secs(optarg, &o.secs))
                return false;
            break;
        case 'k':
            if (!parse_secs(optarg, &o.kill_after))
                return false;
            break;
        default:
            return false;
        }
    }
    if (o.secs < 0) {
        if (optind >= argc || !parse_secs(argv[optind], &o.secs))
            return false;
        optind++;
    }
    if (optind >= argc)
        return false;
    o.argv = argv + optind;
    return true;
}

[[noreturn]] void exec_command(char **argv, const sigset_t &old)
{
    setpgid(0, 0);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    execvp(argv[0], argv);
    int err = errno;
    fprintf(stderr, "timeout: can't execute '%s': %s\n", argv[0], strerror(err));
    _exit(err == ENOENT ? 127 : 126);
}

int exit_status(int st)
{
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return WEXITSTATUS(st);
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parse_args(argc, argv, o))
        return usage();

    // An ignored SIGCHLD, inherited from the caller, would reap the
    // command before its status could be read.
    signal(SIGCHLD, SIG_DFL);
    sigset_t wanted, old;
    sigemptyset(&wanted);
    sigaddset(&wanted, SIGCHLD);
    for (int s : FORWARDED)
        sigaddset(&wanted, s);
    sigprocmask(SIG_BLOCK, &wanted, &old);

    pid_t pid = fork();
    if (pid < 0) {
        perror("timeout: fork");
        return 1;
    }
    if (pid == 0)
        exec_command(o.argv, old);
    setpgid(pid, pid);

    bool limited = o.secs > 0;
    bool killing = false;
    timespec deadline = after(o.secs);
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid)
            return exit_status(st);
        if (r < 0 && errno != EINTR)
            return 1;

        timespec wait{};
        if (limited && !left(deadline, &wait)) {
            send(pid, killing ? SIGKILL : o.sig);
            if (killing || o.kill_after <= 0) {
                limited = false;
            } else {
                killing = true;
                deadline = after(o.kill_after);
            }
            if (o.sig != SIGKILL && o.sig != SIGCONT)
                send(pid, SIGCONT);  // a stopped command must wake to die
            continue;
        }
        int got = sigtimedwait(&wanted, nullptr, limited ? &wait : nullptr);
        if (got > 0 && got != SIGCHLD)
            send(pid, got);
    }
}
