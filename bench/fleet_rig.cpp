#include "fleet_rig.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "private_router.h"

volatile sig_atomic_t g_fleet_interrupted;

namespace {

using testsupport::Child;
using testsupport::read_file;
using testsupport::wait_for;

// Base objects of the agent's own calls on its carrier service.
constexpr const char REPLIES[] = R"({
    "devAuth": {"model": "QX-1"},
    "devGetMqttServer": {},
    "devInfoSync": {"method": "devInfoSync", "model": "QX-1", "swVersion": "1.0.0"}
})";

constexpr const char ZORVEX_GROUP[] =
    "config shp 'shp'\n\toption devId 'FLEET0123456789'\n\toption code 'REGCODE-FLEET'\n"
    "\toption account 'fleet-account'\n";

std::string numbered(const char *prefix, int i)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%s%04d", prefix, i);
    return buf;
}

void replace(std::string &text, const std::string &what, const std::string &with)
{
    size_t at = text.find(what);
    if (at == std::string::npos)
        throw std::runtime_error("the shipped configuration has no \"" + what + "\"");
    text.replace(at, what.size(), with);
}

// What the agent ships with, pointed at this platform and broker CA, and
// bound: it settles in OVIMAR_FINISHED as a bound router does.
std::string agent_config(const fleet &f, int i)
{
    std::string c = read_file(f.paths.defaults);
    replace(c, "option domain 'platform.example.net'", "option domain '127.0.0.1'");
    replace(c, "option port '443'", "option port '" + std::to_string(f.https_port) + "'");
    replace(c, "option ca_file '/etc/cacrt.pem'", "option ca_file '" + f.certs.ca + "'");
    replace(c, "config status 'status'\n",
            "config status 'status'\n\toption devId '" + numbered("FLEET-DEV-", i) +
                "'\n\toption secret '" + numbered("fleet-secret-", i) + "'\n");
    return c;
}

std::vector<std::string> env_of(const fleet &f, const fleet_member &m)
{
    return {"HOST_NVTOOL_FILE=" + m.nvfile,
            "PATH=" + f.paths.router_bin + ":/usr/sbin:/usr/bin:/sbin:/bin"};
}

std::string router_file(const fleet_member &m, const char *path)
{
    char buf[160];
    return testsupport::private_router_path(m.bus.pid(), path, buf, sizeof buf);
}

void must_wait(int ms, const std::function<bool()> &ok, const std::string &what)
{
    if (!wait_for(ms, [&] { return g_fleet_interrupted || ok(); }) || g_fleet_interrupted)
        throw std::runtime_error(g_fleet_interrupted ? "interrupted" : what);
}

void start_bus_and_service(fleet &f, fleet_member &m)
{
    std::string base = f.dir.file(numbered("m", m.index));
    m.nvfile = base + "-nvtool.txt";
    m.fifo = base + "-agent.fifo";
    if (mkfifo(m.fifo.c_str(), 0600) != 0)
        throw std::runtime_error("mkfifo " + m.fifo);
    m.bus = Child({f.paths.ubusd}, base + "-ubusd.log", env_of(f, m), testsupport::FRESH_ROUTER);
    m.sock = router_file(m, testsupport::ROUTER_UBUS_SOCKET);
    // The router may not stand yet: through the folder both see.
    testsupport::write_file(m.nvfile, "ZVEI=" + fleet_identity(m.index) + "\n");
}

} // namespace

void owned_fd::reset(int to)
{
    if (fd >= 0)
        close(fd);
    fd = to;
}

double fleet_now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

testsupport::Broker &fleet_broker(fleet &f)
{
    return *f.brokers.back();
}

std::unique_ptr<testsupport::Broker> fleet_new_broker(const fleet &f)
{
    auto b = std::make_unique<testsupport::Broker>(f.certs);
    b->add_option("sys_interval 1"); // sessions counted as they stand
    b->set_password(f.password);
    return b;
}

void fleet_start(fleet &f, int n)
{
    f.brokers.push_back(fleet_new_broker(f));
    if (!fleet_broker(f).start())
        throw std::runtime_error("mosquitto: " + fleet_broker(f).log());
    testsupport::write_file(f.dir.file("replies.json"), REPLIES);
    for (int i = 0; i < n; i++) {
        f.members.push_back(std::make_unique<fleet_member>());
        f.members.back()->index = i;
        start_bus_and_service(f, *f.members.back());
    }
    for (auto &m : f.members) {
        must_wait(10000, [&] { return testsupport::unix_accepts(m->sock); },
                  "ubusd did not start");
        testsupport::write_file(router_file(*m, "/etc/config/zorvex_group"), ZORVEX_GROUP);
        m->zorvex = Child({f.paths.zorvex_sim, f.dir.file("replies.json")},
                          f.dir.file(numbered("m", m->index) + "-zorvex.log"), env_of(f, *m),
                          m->bus.pid());
    }
    for (auto &m : f.members) {
        std::string log = f.dir.file(numbered("m", m->index) + "-zorvex.log");
        must_wait(10000, [&] { return read_file(log).find("ready") != std::string::npos; },
                  "zorvex_sim did not start: " + read_file(log));
    }
}

void fleet_platform_start(fleet &f)
{
    if (!f.https_port)
        f.https_port = testsupport::free_port();
    std::string log = f.dir.file("platform.log");
    testsupport::Broker &b = fleet_broker(f);
    f.platform = Child({f.paths.platform_sim, "--cert", f.certs.cert, "--key", f.certs.key,
                        "--port", std::to_string(f.https_port), "--broker",
                        "127.0.0.1:" + std::to_string(b.port()), "--user",
                        testsupport::Broker::USER, "--password", f.password, "--commands",
                        f.dir.file("platform.cmd")},
                       log);
    must_wait(10000, [&] { return read_file(log).find("https ready port") != std::string::npos; },
              "platform_sim did not start: " + read_file(log));
}

void fleet_platform_stop(fleet &f)
{
    f.platform.stop();
}

void fleet_platform_command(fleet &f, const std::string &line)
{
    std::string log = f.dir.file("platform.log");
    size_t before = read_file(log).size();
    int fd = open(f.dir.file("platform.cmd").c_str(), O_WRONLY | O_CLOEXEC);
    std::string text = line + "\n";
    bool sent = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0)
        close(fd);
    if (!sent)
        throw std::runtime_error("cannot tell the platform: " + line);
    // It answers each command with a line of its own.
    must_wait(5000, [&] { return read_file(log).size() > before; },
              "the platform did not take: " + line);
}

void fleet_agents_start(fleet &f)
{
    for (auto &m : f.members) {
        testsupport::write_file(router_file(*m, "/etc/config/ovimar"), agent_config(f, m->index));
        // The reader first: opening a FIFO to write waits for one.
        m->out.reset(open(m->fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (m->out.fd < 0)
            throw std::runtime_error("open " + m->fifo);
        m->partial.clear();
        m->state = 0;
        m->changed = fleet_now();
    }
    for (auto &m : f.members)
        m->agent = Child({f.paths.agent, "-m", "1", "-l", "6"}, m->fifo, env_of(f, *m),
                         m->bus.pid());
}

void fleet_agents_stop(fleet &f)
{
    // All asked at once: each then goes in its own time.
    for (auto &m : f.members)
        if (m->agent.pid() > 0)
            kill(m->agent.pid(), SIGTERM);
    for (auto &m : f.members)
        if (m->agent.stop(SIGTERM, 5000) < 0)
            m->agent.stop(SIGKILL, 3000);
    fleet_pump(f, 0.2);
    for (auto &m : f.members)
        m->out.reset();
}

// Written in place as the member's router sees it: a file replaced from
// outside stays unseen in there.
void fleet_set_identity(const fleet &, const fleet_member &m, const std::string &id)
{
    testsupport::write_file(router_file(m, m.nvfile.c_str()), "ZVEI=" + id + "\n");
}

std::string fleet_identity(int i)
{
    return numbered("ZV-FLEET-", i);
}

std::string fleet_agent_config(const fleet &f, size_t i)
{
    return read_file(router_file(*f.members.at(i), "/etc/config/ovimar"));
}

int fleet_broker_sessions(fleet &f)
{
    testsupport::Broker &b = fleet_broker(f);
    testsupport::RunOptions o;
    o.timeout_ms = 10000;
    // The retained count from before it came, then the first with it.
    auto r = testsupport::run({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(b.port()),
                               "--cafile", f.certs.ca, "-u", testsupport::Broker::USER, "-P",
                               f.password, "-i", "fleet-sessions", "-t",
                               "$SYS/broker/clients/connected", "-C", "2", "-W", "5"},
                              o);
    size_t last = r.out.find_last_not_of("\n");
    if (last == std::string::npos)
        return -1;
    size_t start = r.out.find_last_of('\n', last);
    return atoi(r.out.c_str() + (start == std::string::npos ? 0 : start + 1)) - 1;
}
