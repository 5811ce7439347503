#include "rig.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "private_router.h"

namespace {

using testsupport::Child;
using testsupport::read_file;
using testsupport::wait_for;

bool log_has(const std::string &path, const char *text)
{
    return read_file(path).find(text) != std::string::npos;
}

// Base objects of the agent's own calls, and the echo a platform request
// gets: its own id, result 0.
constexpr const char REPLIES[] = R"({
    "devAuth": {"model": "QX-1"},
    "devGetMqttServer": {},
    "devInfoSync": {"method": "devInfoSync", "model": "QX-1", "swVersion": "1.0.0"},
    "bind": {"model": "QX-1"},
    "benchEcho": {"_result": 0, "status": "ok"}
})";

// Bound already (status holds devId and secret): the agent settles in
// OVIMAR_FINISHED as a bound router does after each start.
std::string ovimar_config(int https_port, const std::string &ca)
{
    return "config server 'server'\n\toption domain '127.0.0.1'\n"
           "config https 'https'\n\toption port '" + std::to_string(https_port) + "'\n"
           "\toption connect_timeout '5'\n\toption stall_timeout '5'\n\toption verify '0'\n"
           "config auth 'auth'\n\toption path '/api/v1/devAuth'\n\toption cwmp_version '1.0'\n"
           "\toption method 'devAuth'\n"
           "config get_mqtt_server 'get_mqtt_server'\n"
           "\toption path '/api/v1/devGetMqttServer'\n\toption cwmp_version '1.0'\n"
           "\toption method 'devGetMqttServer'\n\toption retries '3'\n"
           "config mqtt 'mqtt'\n\toption default_qos '1'\n\toption default_retain '0'\n"
           "\toption ca_file '" + ca + "'\n\toption verify_host '0'\n"
           "config status 'status'\n\toption devId 'BENCH-DEV-0001'\n"
           "\toption secret 'bench-secret-0001'\n"
           "config mqtt_connect 'mqtt_connect'\n\toption connected_times '0'\n";
}

constexpr const char ZORVEX_GROUP[] =
    "config shp 'shp'\n\toption devId 'BENCH0123456789'\n\toption code 'REGCODE-BENCH'\n"
    "\toption account 'bench-account'\n";

} // namespace

rig::rig(const rig_paths &paths, bool broker_nodelay) : paths_(paths)
{
    if (broker_nodelay)
        broker_.add_option("set_tcp_nodelay true");
}

std::vector<std::string> rig::env() const
{
    return {"HOST_NVTOOL_FILE=" + dir_.file("nvtool.txt"),
            "PATH=" + paths_.router_bin + ":/usr/sbin:/usr/bin:/sbin:/bin"};
}

Child rig::spawn(const std::vector<std::string> &argv, const char *name) const
{
    return Child(argv, dir_.file(std::string(name) + ".log"), env());
}

Child rig::spawn_in_router(const std::vector<std::string> &argv, const char *name) const
{
    return Child(argv, dir_.file(std::string(name) + ".log"), env(), bus_.pid());
}

std::string rig::router_file(const char *path) const
{
    char buf[128];
    return testsupport::private_router_path(bus_.pid(), path, buf, sizeof(buf));
}

bool rig::fail(const std::string &why)
{
    why_ = why;
    return false;
}

bool rig::start_platform()
{
    std::string log = dir_.file("platform.log");
    platform_ = spawn({paths_.platform_sim, "--cert", certs_.cert, "--key", certs_.key,
                       "--broker", "127.0.0.1:" + std::to_string(broker_.port()), "--uuid",
                       UP_TOPIC, "--topic", DOWN_TOPIC, "--user", testsupport::Broker::USER,
                       "--password", testsupport::Broker::PASSWORD},
                      "platform");
    const std::string ready = "https ready port ";
    if (!wait_for(10000, [&] { return log_has(log, ready.c_str()); }))
        return fail("platform_sim: " + read_file(log));
    std::string out = read_file(log);
    https_port_ = atoi(out.c_str() + out.find(ready) + ready.size());
    return true;
}

bool rig::start()
{
    if (!broker_.start())
        return fail("mosquitto: " + broker_.log());
    bus_ = Child({paths_.ubusd}, dir_.file("ubusd.log"), env(), testsupport::FRESH_ROUTER);
    sock_ = router_file(testsupport::ROUTER_UBUS_SOCKET);
    if (!wait_for(5000, [&] { return testsupport::unix_accepts(sock_); }))
        return fail("ubusd did not start: " + read_file(dir_.file("ubusd.log")));
    testsupport::write_file(dir_.file("replies.json"), REPLIES);
    zorvex_ = spawn_in_router({paths_.zorvex_sim, dir_.file("replies.json")}, "zorvex");
    if (!wait_for(5000, [&] { return log_has(dir_.file("zorvex.log"), "ready"); }))
        return fail("zorvex_sim: " + read_file(dir_.file("zorvex.log")));
    return start_platform();
}

bool rig::start_agent()
{
    testsupport::write_file(router_file("/etc/config/ovimar"),
                            ovimar_config(https_port_, certs_.ca));
    testsupport::write_file(router_file("/etc/config/zorvex_group"), ZORVEX_GROUP);
    testsupport::RunOptions o;
    o.env = env();
    if (testsupport::run({"nvtool", "set", "ZVEI", "ZV-BENCH-0001"}, o).code)
        return fail("nvtool set ZVEI failed");
    // The agent's default log level (errors only) and mode (standard output).
    agent_ = spawn_in_router({paths_.agent, "-l", "3", "-m", "1"}, "agent");
    return true;
}
