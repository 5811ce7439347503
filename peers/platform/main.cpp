// Simulated carrier platform for tests and the demo.
//
//   platform_sim --cert PEM --key PEM [--host ADDR] [--port N] [--auth-path P]
//                [--server-path P] [--mode METHOD=MODE[,MODE...]]...
//                [--broker HOST:PORT] [--uuid U] [--topic T]
//                [--user U] [--password P]
//                [--mqtt-ca PEM [--dev-id D] [--secret S]] [--commands FIFO]
//
// Prints "https ready port N" once serving, then one "request {...}" line
// per request (path, method, mode, check, body). Modes: see modes.h;
// each request of a kind takes the next mode of its list, the last stays.
// With --mqtt-ca the platform also meets the device on the broker it hands
// out (mqtt_side.h); each "send JSON" line written to FIFO is published to
// the device. "broker HOST:PORT" and "password P" lines change what later
// broker requests hand out (a broker moved, credentials rotated).
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "https_side.h"
#include "modes.h"
#include "mqtt_side.h"
#include "platform.h"

std::atomic<bool> g_platform_stopping{false};

namespace {

std::mutex g_print_lock;
std::mutex g_config_lock;
platform_config g_config;

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: platform_sim --cert PEM --key PEM [--host ADDR] [--port N]\n"
                    "  [--auth-path P]\n"
                    "  [--server-path P] [--mode METHOD=MODE,...] [--broker HOST:PORT]\n"
                    "  [--uuid U] [--topic T] [--user U] [--password P]\n"
                    "  [--mqtt-ca PEM [--dev-id D] [--secret S]] [--commands FIFO]\n");
    exit(2);
}

bool parse_broker(const std::string &v, platform_config &cfg)
{
    size_t colon = v.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    cfg.broker_address = v.substr(0, colon);
    cfg.broker_port = atoi(v.c_str() + colon + 1);
    return cfg.broker_port > 0;
}

platform_config parse(int argc, char **argv)
{
    static const option longs[] = {
        {"cert", required_argument, nullptr, 'c'},   {"key", required_argument, nullptr, 'k'},
        {"port", required_argument, nullptr, 'p'},   {"auth-path", required_argument, nullptr, 'a'},
        {"server-path", required_argument, nullptr, 's'},
        {"mode", required_argument, nullptr, 'm'},   {"broker", required_argument, nullptr, 'b'},
        {"uuid", required_argument, nullptr, 'u'},   {"topic", required_argument, nullptr, 't'},
        {"user", required_argument, nullptr, 'U'},   {"password", required_argument, nullptr, 'P'},
        {"mqtt-ca", required_argument, nullptr, 'C'}, {"dev-id", required_argument, nullptr, 'd'},
        {"secret", required_argument, nullptr, 'S'}, {"commands", required_argument, nullptr, 'f'},
        {"host", required_argument, nullptr, 'H'},
        {nullptr, 0, nullptr, 0},
    };
    platform_config cfg;
    int c;
    while ((c = getopt_long(argc, argv, "", longs, nullptr)) != -1) {
        std::string v = optarg ? optarg : "";
        switch (c) {
        case 'c': cfg.cert = v; break;
        case 'k': cfg.key = v; break;
        case 'p': cfg.https_port = atoi(v.c_str()); break;
        case 'a': cfg.auth_path = v; break;
        case 's': cfg.server_path = v; break;
        case 'm':
            if (!modes_parse(v))
                usage();
            break;
        case 'b':
            if (!parse_broker(v, cfg))
                usage();
            break;
        case 'u': cfg.uuid = v; break;
        case 't': cfg.topic = v; break;
        case 'U': cfg.username = v; break;
        case 'P': cfg.password = v; break;
        case 'C': cfg.mqtt_ca = v; break;
        case 'd': cfg.dev_id = v; break;
        case 'S': cfg.secret = v; break;
        case 'f': cfg.commands = v; break;
        case 'H': cfg.host = v; break;
        default: usage();
        }
    }
    if (cfg.cert.empty() || cfg.key.empty() || optind != argc)
        usage();
    return cfg;
}

// True when line starts with name; rest is what follows.
bool starts(const std::string &line, const char *name, std::string *rest)
{
    size_t n = strlen(name);
    if (line.compare(0, n, name) != 0)
        return false;
    *rest = line.substr(n);
    return true;
}

void command(const std::string &line)
{
    std::string v;
    if (starts(line, "send ", &v)) {
        if (!g_config.mqtt_ca.empty())
            mqtt_side_send(v);
        return;
    }
    std::lock_guard<std::mutex> hold(g_config_lock);
    if (starts(line, "broker ", &v) && parse_broker(v, g_config))
        platform_print("broker now " + v);
    else if (starts(line, "password ", &v)) {
        g_config.password = v;
        platform_print("password changed");
    }
}

// Command lines from the FIFO, until the platform stops.
void read_commands(const std::string &fifo)
{
    // Read-write: a writer that goes away is no end of input.
    int fd = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    std::string line;
    char buf[4096];
    while (!g_platform_stopping) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = read(fd, buf, sizeof buf);
        for (ssize_t i = 0; i < n; i++) {
            if (buf[i] != '\n') {
                line.push_back(buf[i]);
                continue;
            }
            command(line);
            line.clear();
        }
    }
    close(fd);
}

} // namespace

platform_config platform_config_now()
{
    std::lock_guard<std::mutex> hold(g_config_lock);
    return g_config;
}

void platform_print(const std::string &line)
{
    std::lock_guard<std::mutex> hold(g_print_lock);
    printf("%s\n", line.c_str());
    fflush(stdout);
}

bool platform_sleep(int ms)
{
    for (int waited = 0; waited < ms && !g_platform_stopping; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return !g_platform_stopping;
}

int main(int argc, char **argv)
{
    g_config = parse(argc, argv);
    const platform_config &cfg = g_config;

    // Every thread inherits the mask; only sigwait below sees the signals.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!cfg.commands.empty() && mkfifo(cfg.commands.c_str(), 0600) != 0 && errno != EEXIST) {
        perror(cfg.commands.c_str());
        return 1;
    }
    if (!https_side_start(cfg))
        return 1;
    bool mqtt = !cfg.mqtt_ca.empty();
    if (mqtt && !mqtt_side_start(cfg)) {
        fprintf(stderr, "platform_sim: cannot start the MQTT side\n");
        https_side_stop();
        return 1;
    }
    std::thread commands;
    if (!cfg.commands.empty())
        commands = std::thread(read_commands, cfg.commands);
    int sig = 0;
    sigwait(&stop, &sig);
    g_platform_stopping = true;
    if (commands.joinable())
        commands.join();
    if (mqtt)
        mqtt_side_stop();
    https_side_stop();
    platform_print("stopped");
    return 0;
}
