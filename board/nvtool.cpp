// The board's data tool, which no router library package provides, for the
// tests and the demo. Values live as KEY=VALUE lines in a text file
// ($HOST_NVTOOL_FILE, else /tmp/.nvtool).
//   nvtool get KEY          prints the value and a line feed; status 1 if unset
//   nvtool set KEY VALUE..  stores the words joined by spaces
//   nvtool unset KEY
//   nvtool show             prints every KEY=VALUE line
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr const char *DEFAULT_FILE = "/tmp/.nvtool";

using Entries = std::vector<std::pair<std::string, std::string>>;

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

const char *store_path()
{
    const char *p = getenv("HOST_NVTOOL_FILE");
    return p && *p ? p : DEFAULT_FILE;
}

bool valid_key(std::string_view k)
{
    if (k.empty())
        return false;
    for (unsigned char c : k) {
        if (c <= ' ' || c == '=' || c == 0x7f)
            return false;
    }
    return true;
}

// Printable text on one line; bytes above 0x7f pass for UTF-8.
bool valid_value(std::string_view v)
{
    for (unsigned char c : v) {
        if (c < ' ' || c == 0x7f)
            return false;
    }
    return true;
}

bool read_fd(int fd, std::string &out)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n == 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
    }
}

// Later lines win over earlier ones with the same key.
Entries parse(const std::string &text)
{
    Entries e;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq);
        std::string val = line.substr(eq + 1);
        bool found = false;
        for (auto &kv : e) {
            if (kv.first == key) {
                kv.second = val;
                found = true;
            }
        }
        if (!found)
            e.emplace_back(key, val);
    }
    return e;
}

bool load(const char *path, Entries &e)
{
    Fd fd{open(path, O_RDONLY | O_CLOEXEC)};
    std::string text;
    if (fd.fd < 0)
        return errno == ENOENT;
    if (!read_fd(fd.fd, text))
        return false;
    e = parse(text);
    return true;
}

// Readers never see a half-written store: a full copy replaces it.
bool store(const char *path, const Entries &e)
{
    std::string text;
    for (const auto &kv : e)
        text += kv.first + "=" + kv.second + "\n";
    std::string tmpl = std::string(path) + ".XXXXXX";
    std::vector<char> tmp(tmpl.begin(), tmpl.end());
    tmp.push_back('\0');
    Fd fd{mkostemp(tmp.data(), O_CLOEXEC)};
    if (fd.fd < 0)
        return false;
    bool ok = fchmod(fd.fd, 0644) == 0 &&
              write(fd.fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              fsync(fd.fd) == 0 && rename(tmp.data(), path) == 0;
    if (!ok)
        unlink(tmp.data());
    return ok;
}

// Setters take turns on a lock file beside the store.
bool lock(const char *path, Fd &fd)
{
    fd.fd = open((std::string(path) + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd.fd < 0)
        return false;
    while (flock(fd.fd, LOCK_EX) < 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

int fail(const char *what)
{
    fprintf(stderr, "nvtool: %s: %s\n", what, strerror(errno));
    return 2;
}

int cmd_get(int argc, char **argv)
{
    if (argc != 1)
        return -1;
    Entries e;
    if (!load(store_path(), e))
        return fail(store_path());
    for (const auto &kv : e) {
        if (kv.first == argv[0]) {
            printf("%s\n", kv.second.c_str());
            return 0;
        }
    }
    return 1;
}

int change(const char *key, const std::string *value)
{
    if (!valid_key(key)) {
        fprintf(stderr, "nvtool: invalid key '%s'\n", key);
        return 2;
    }
    if (value && !valid_value(*value)) {
        fputs("nvtool: value must be printable text on one line\n", stderr);
        return 2;
    }
    const char *path = store_path();
    Fd lk{-1};
    Entries e;
    if (!lock(path, lk) || !load(path, e))
        return fail(path);
    Entries out;
    for (auto &kv : e) {
        if (kv.first != key)
            out.push_back(std::move(kv));
    }
    if (value)
        out.emplace_back(key, *value);
    return store(path, out) ? 0 : fail(path);
}

int cmd_set(int argc, char **argv)
{
    if (argc < 2)
        return -1;
    std::string value = argv[1];
    for (int i = 2; i < argc; i++)
        value += std::string(" ") + argv[i];
    return change(argv[0], &value);
}

int cmd_unset(int argc, char **argv)
{
    return argc == 1 ? change(argv[0], nullptr) : -1;
}

int cmd_show(int argc, char **)
{
    if (argc != 0)
        return -1;
    Entries e;
    if (!load(store_path(), e))
        return fail(store_path());
    for (const auto &kv : e)
        printf("%s=%s\n", kv.first.c_str(), kv.second.c_str());
    return 0;
}

struct Command {
    const char *name;
    int (*fn)(int argc, char **argv);
};

constexpr Command COMMANDS[] = {
    {"get", cmd_get}, {"set", cmd_set}, {"unset", cmd_unset}, {"show", cmd_show},
};

int usage()
{
    fputs("Usage: nvtool get KEY | set KEY VALUE | unset KEY | show\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    for (const Command &c : COMMANDS) {
        if (!strcmp(argv[1], c.name)) {
            int r = c.fn(argc - 2, argv + 2);
            if (fflush(stdout) != 0)
                return 2;
            return r < 0 ? usage() : r;
        }
    }
    return usage();
}
