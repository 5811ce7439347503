// Fleet benchmark: N real agents, each in a private router of its own,
// against one simulated platform and one broker, through outages, a
// credentials rotation and a broker move. Prints figures and the goals
// beside them; judges nothing else.
//
//   ovimar_fleet [--fleet [N]]
//                [--fleet-scenarios cold,broker,rotate,move,flap,twins,platform]
//                [--broker-outage S] [--platform-outage S] [--flap-time S]
//                [--twins-time S] [--agent PATH] [--fleet-logs FOLDER]
//
// --fleet-logs keeps what every agent, broker and the platform logged.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>

#include "fleet_scenarios.h"

namespace {

const std::set<std::string> SCENARIOS = {"cold", "broker", "rotate", "move",
                                         "flap", "twins", "platform"};

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: ovimar_fleet [--fleet [N]] [--fleet-scenarios "
                    "cold,broker,rotate,move,flap,twins,platform]\n"
                    "                    [--broker-outage S] [--platform-outage S] "
                    "[--flap-time S] [--twins-time S]\n"
                    "                    [--agent PATH] [--fleet-logs FOLDER]\n");
    exit(2);
}

int positive(const char *v)
{
    char *end = nullptr;
    long n = v ? strtol(v, &end, 10) : 0;
    if (!v || *end || n < 1 || n > 100000)
        usage();
    return static_cast<int>(n);
}

std::vector<std::string> split(const std::string &list)
{
    std::vector<std::string> out;
    for (size_t at = 0; at <= list.size();) {
        size_t comma = list.find(',', at);
        if (comma == std::string::npos)
            comma = list.size();
        std::string name = list.substr(at, comma - at);
        if (!SCENARIOS.count(name))
            usage();
        out.push_back(name);
        at = comma + 1;
    }
    return out;
}

fleet_options parse(int argc, char **argv)
{
    fleet_options o;
    o.paths = {OVIMAR_AGENT,   UBUSD,          ZORVEX_SIM, PLATFORM_SIM,
               ROUTER_BIN_DIR, OVIMAR_DEFAULT_CONFIG, FAKE_BROKER};
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--fleet") {
            // N is optional: a number right after it.
            if (next && strspn(next, "0123456789") == strlen(next) && *next) {
                o.n = positive(next);
                i++;
            }
        } else if (a == "--fleet-scenarios" && next) {
            o.scenarios = split(argv[++i]);
        } else if (a == "--broker-outage") {
            o.broker_outage_s = positive(next);
            i++;
        } else if (a == "--platform-outage") {
            o.platform_outage_s = positive(next);
            i++;
        } else if (a == "--flap-time") {
            o.flap_s = positive(next);
            i++;
        } else if (a == "--twins-time") {
            o.twins_s = positive(next);
            i++;
        } else if (a == "--fleet-logs" && next) {
            o.logs = argv[++i];
        } else if (a == "--agent" && next) {
            o.paths.agent = argv[++i];
        } else {
            usage();
        }
    }
    return o;
}

void on_stop(int)
{
    g_fleet_interrupted = 1;
}

// Each agent's FIFO and each session the broker holds is a descriptor.
void raise_open_files()
{
    rlimit r = {};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

} // namespace

int main(int argc, char **argv)
{
    fleet_options o = parse(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    raise_open_files();
    struct sigaction sa = {};
    sa.sa_handler = on_stop; // no SA_RESTART: a poll in progress ends
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    try {
        return fleet_run(o);
    } catch (const std::exception &e) {
        fprintf(stderr, "ovimar_fleet: %s\n", e.what());
        return 1;
    }
}
