// Benchmark of ovimar-agent as a process on loopback: platform round trips
// through the agent beside the broker and bus floors, CPU and memory idle
// in OVIMAR_FINISHED beside mosquitto_sub, the stripped release size.
//
//   ovimar_bench [--idle S] [--rounds N] [--blocks K] [--warmup N]
//                [--size STRIPPED_AGENT] [--agent PATH] [--broker-nagle]
//                [--label TEXT] [--compare-agent PATH] [--compare-label TEXT]
//
// --broker-nagle leaves the broker's sockets as Debian's mosquitto has them
// (set_tcp_nodelay false): every round trip then waits on delayed ACKs.
// --compare-agent runs a second agent (another libcurl, say) through the
// idle part alone, after the first is gone, and prints both agents' memory
// side by side under their labels.
// Prints figures; it judges nothing but the goals it prints beside them.
#include <getopt.h>
#include <sys/stat.h>

#include <mosquitto.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "bus_peer.h"
#include "libs.h"
#include "mqtt_peer.h"
#include "procinfo.h"
#include "report.h"
#include "rig.h"
#include "roundtrip.h"

namespace {

struct options {
    int idle_s = 60;
    int rounds = 2000;
    int blocks = 4;
    int warmup = 100;
    std::string size_file;
    std::string agent = OVIMAR_AGENT;
    bool broker_nagle = false;
    std::string label = "agent";
    std::string compare_agent;
    std::string compare_label = "compared agent";
};

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: ovimar_bench [--idle S] [--rounds N] [--blocks K] [--warmup N]\n"
                    "                    [--size STRIPPED_AGENT] [--agent PATH] [--broker-nagle]\n"
                    "                    [--label TEXT] [--compare-agent PATH] [--compare-label TEXT]\n");
    exit(2);
}

options parse(int argc, char **argv)
{
    static const option longs[] = {
        {"idle", required_argument, nullptr, 'i'},   {"rounds", required_argument, nullptr, 'r'},
        {"blocks", required_argument, nullptr, 'b'}, {"warmup", required_argument, nullptr, 'w'},
        {"size", required_argument, nullptr, 's'},   {"agent", required_argument, nullptr, 'a'},
        {"broker-nagle", no_argument, nullptr, 'n'}, {"label", required_argument, nullptr, 'l'},
        {"compare-agent", required_argument, nullptr, 'c'},
        {"compare-label", required_argument, nullptr, 'L'},
        {nullptr, 0, nullptr, 0},
    };
    options o;
    for (int c; (c = getopt_long(argc, argv, "", longs, nullptr)) != -1;) {
        switch (c) {
        case 'i': o.idle_s = atoi(optarg); break;
        case 'r': o.rounds = atoi(optarg); break;
        case 'b': o.blocks = atoi(optarg); break;
        case 'w': o.warmup = atoi(optarg); break;
        case 's': o.size_file = optarg; break;
        case 'a': o.agent = optarg; break;
        case 'n': o.broker_nagle = true; break;
        case 'l': o.label = optarg; break;
        case 'c': o.compare_agent = optarg; break;
        case 'L': o.compare_label = optarg; break;
        default: usage();
        }
    }
    if (optind != argc || o.idle_s < 1 || o.rounds < 1 || o.blocks < 1 || o.warmup < 0)
        usage();
    if (o.blocks > o.rounds)
        o.blocks = o.rounds;
    return o;
}

struct mosquitto_lib {
    mosquitto_lib() { mosquitto_lib_init(); }
    ~mosquitto_lib() { mosquitto_lib_cleanup(); }
};

// The far end of the bare broker round trip, on a thread of its own as
// the agent is a process of its own.
struct echo_end {
    mqtt_peer peer;
    std::atomic<bool> running{true};
    std::thread loop;
    ~echo_end()
    {
        running = false;
        if (loop.joinable())
            loop.join();
    }
};

// Thrown, not exit(): the rig's processes are stopped as the stack unwinds.
[[noreturn]] void die(const std::string &why)
{
    throw std::runtime_error(why);
}

// The agent names its state when it refuses an app's bind outside
// OVIMAR_MQTT_APP_AUTH: the one probe that works at its default log level.
int agent_state(rig &r, bus_peer &bus, mqtt_peer &platform)
{
    const std::string tag = "not in OVIMAR_MQTT_APP_AUTH:";
    if (bus_emit(bus, "APP_AUTH", "{\"method\":\"bind\"}") != 0)
        return -1;
    std::string log;
    if (!mqtt_pump(platform, 5000, [&] {
            log = r.agent_log();
            return log.find(tag) != std::string::npos;
        }))
        return -1;
    return atoi(log.c_str() + log.find(tag) + tag.size());
}

void idle_phase(rig &r, mqtt_peer &platform, const mqtt_login &login, idle_result *out)
{
    testsupport::Child sub = r.spawn(
        {"mosquitto_sub", "-h", login.host, "-p", std::to_string(login.port), "--cafile",
         login.ca, "-u", login.user, "-P", login.password, "-q", "1", "-k", "60", "-i",
         "bench-idle-sub", "-t", "bench/idle"},
        "mosquitto_sub");
    if (!mqtt_pump(platform, 10000, [&] {
            return r.broker_log().find(" as bench-idle-sub ") != std::string::npos;
        }))
        die("mosquitto_sub did not connect:\n" + r.broker_log());
    mqtt_pump(platform, 2000, [] { return false; }); // both settle
    out->agent0 = proc_read(r.agent_pid());
    out->sub0 = proc_read(sub.pid());
    mqtt_pump(platform, out->seconds * 1000, [] { return false; });
    out->agent1 = proc_read(r.agent_pid());
    out->sub1 = proc_read(sub.pid());
    sub.stop();
}

void round_trips(const options &o, mqtt_peer &platform, const mqtt_login &login, bus_peer &bus,
                 series *agent, series *broker, series *direct)
{
    mqtt_peer ping;
    echo_end echo;
    echo.peer.echo_topic = "bench/pong";
    if (!mqtt_open(ping, "bench-ping", login, "bench/pong") ||
        !mqtt_open(echo.peer, "bench-echo", login, "bench/ping"))
        die("bench clients cannot reach the broker");
    echo.loop = std::thread([&] {
        while (echo.running)
            mqtt_turn(echo.peer, 100);
    });

    long id = 1000;
    series warm = {"warm-up", {}, 0, 0};
    mqtt_rounds(ping, "bench/ping", o.warmup, &id, &warm);
    bus_rounds(bus, o.warmup, &id, &warm);
    mqtt_rounds(platform, DOWN_TOPIC, o.warmup, &id, &warm);
    // Interleaved, so load from elsewhere on the machine falls on all three.
    for (int b = 0; b < o.blocks; b++) {
        int n = o.rounds / o.blocks + (b < o.rounds % o.blocks ? 1 : 0);
        mqtt_rounds(ping, "bench/ping", n, &id, broker);
        bus_rounds(bus, n, &id, direct);
        mqtt_rounds(platform, DOWN_TOPIC, n, &id, agent);
    }
}

size_result measure_size(const std::string &path)
{
    size_result s = {path, -1};
    struct stat st = {};
    if (!path.empty() && stat(path.c_str(), &st) == 0)
        s.bytes = st.st_size;
    return s;
}

// One agent among its peers; they go in reverse order, the rig last.
struct session {
    rig r;
    mqtt_login login;
    mqtt_peer platform;
    bus_peer bus;
    session(const std::string &agent, bool broker_nodelay)
        : r({agent, UBUSD, ZORVEX_SIM, PLATFORM_SIM, ROUTER_BIN_DIR}, broker_nodelay)
    {
    }
};

// Starts the peers and the agent, waits until it settles, then keeps it
// idle beside mosquitto_sub.
idle_result settle_and_idle(session &s, int idle_s)
{
    rig &r = s.r;
    if (!r.start())
        die(r.why());
    s.login.port = r.broker_port();
    s.login.ca = r.ca();
    s.login.user = testsupport::Broker::USER;
    s.login.password = testsupport::Broker::PASSWORD;

    s.platform.answer_topic = DOWN_TOPIC;
    if (!mqtt_open(s.platform, "bench-platform", s.login, UP_TOPIC))
        die("the platform's client cannot reach the broker");
    if (!r.start_agent())
        die(r.why());
    // Login, broker request and connect take a few one-second ticks.
    mqtt_pump(s.platform, 90000,
              [&] { return s.platform.dev_info_syncs > 0 || !r.agent_running(); });
    if (s.platform.dev_info_syncs == 0)
        die(std::string("no devInfoSync from the agent") +
            (r.agent_running() ? "" : " (it ended)") + ":\n" + r.agent_log());
    if (!bus_open(s.bus, r.bus_socket()))
        die("cannot reach zorvex on the bus");
    mqtt_pump(s.platform, 1000, [] { return false; });

    idle_result idle = {};
    idle.seconds = idle_s;
    idle.state = agent_state(r, s.bus, s.platform);
    idle_phase(r, s.platform, s.login, &idle);
    return idle;
}

int run(const options &o)
{
    agent_memory first = {o.label, {}, {}};
    bool running = false;
    std::string log;
    {
        session s(o.agent, !o.broker_nagle);
        idle_result idle = settle_and_idle(s, o.idle_s);
        first.curl = library_of(s.r.agent_pid(), "libcurl");

        series agent = {"agent", {}, 0, 0}, broker = {"broker", {}, 0, 0},
               direct = {"bus", {}, 0, 0};
        round_trips(o, s.platform, s.login, s.bus, &agent, &broker, &direct);
        idle.agent_after_load = proc_read(s.r.agent_pid());
        first.idle = idle;

        print_header(o.agent, o.rounds, o.blocks, !o.broker_nagle);
        print_rounds(agent, broker, direct);
        print_idle(idle);
        print_size(measure_size(o.size_file));
        running = s.r.agent_running();
        log = s.r.agent_log();
    }
    // The first agent is gone: no library page of its counts in the
    // second's private figure.
    if (!o.compare_agent.empty()) {
        session s(o.compare_agent, !o.broker_nagle);
        agent_memory second = {o.compare_label, {}, {}};
        second.idle = settle_and_idle(s, o.idle_s);
        second.curl = library_of(s.r.agent_pid(), "libcurl");
        print_memory_by_agent(first, second, o.compare_agent);
    }

    print_agent_log(running, log);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    options o = parse(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    mosquitto_lib lib;
    try {
        return run(o);
    } catch (const std::exception &e) {
        fprintf(stderr, "ovimar_bench: %s\n", e.what());
        return 1;
    }
}
