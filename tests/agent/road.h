// The agent program's road through all of its peers: its private router,
// what it logged and the states it went through, the app and the platform
// poked from outside.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "broker.h"
#include "env.h"
#include "peers.h"
#include "proc.h"

inline constexpr int WAIT_MS = 30000;

struct Road : AgentRouter {
    std::string log = dir.file("agent.log");
    std::string fifo = dir.file("platform.cmd");
    std::string plog = dir.file("platform.log");

    // The states the agent changed to, in order, from its log.
    std::vector<int> changes() const
    {
        std::vector<int> out;
        std::string text = testsupport::read_file(log);
        const std::string tag = "change state machines to:";
        for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1))
            out.push_back(atoi(text.c_str() + at + tag.size()));
        return out;
    }

    bool reaches(int state, size_t after) const
    {
        return testsupport::wait_for(WAIT_MS, [&] {
            auto c = changes();
            for (size_t i = after; i < c.size(); i++)
                if (c[i] == state)
                    return true;
            return false;
        });
    }

    bool logged(const std::string &path, const std::string &what) const
    {
        return testsupport::wait_for(WAIT_MS, [&] {
            return testsupport::read_file(path).find(what) != std::string::npos;
        });
    }

    // platform_sim on https_port, naming the broker; its MQTT side meets
    // the device there and publishes each "send" line of the fifo.
    testsupport::Child platform(int https_port, const testsupport::Broker &broker,
                                const testsupport::TestCerts &certs,
                                const std::vector<std::string> &more = {}) const
    {
        std::vector<std::string> argv = {
            PLATFORM_SIM, "--cert", test_cert().cert, "--key", test_cert().key, "--port",
            std::to_string(https_port), "--broker", "127.0.0.1:" + std::to_string(broker.port()),
            "--user", testsupport::Broker::USER, "--password", testsupport::Broker::PASSWORD,
            "--mqtt-ca", certs.ca, "--commands", fifo};
        argv.insert(argv.end(), more.begin(), more.end());
        return testsupport::Child(argv, plog);
    }

    void emit(const std::string &event, const std::string &data) const
    {
        testsupport::RunOptions o;
        o.env = agent_env();
        auto r = testsupport::run({UBUS_CMD, "-s", sock, "call", "zorvex_sim", "emit",
                                   R"({"event":")" + event + R"(","data":)" + data + "}"},
                                  o);
        ASSERT_EQ(r.code, 0) << r.err;
    }

    void platform_send(const std::string &json) const { platform_command("send " + json); }

    // A line for the platform's command FIFO ("broker H:P", "password P").
    void platform_command(const std::string &command) const
    {
        int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::string line = command + "\n";
        EXPECT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        close(fd);
    }
};

inline std::string ovimar_config(int https_port, const std::string &ca)
{
    return "config server 'server'\n\toption domain '127.0.0.1'\n"
           "config https 'https'\n\toption port '" + std::to_string(https_port) + "'\n"
           "\toption connect_timeout '2'\n"
           "config auth 'auth'\n\toption path '/api/v1/devAuth'\n\toption cwmp_version '1.0'\n"
           "config get_mqtt_server 'get_mqtt_server'\n"
           "\toption path '/api/v1/devGetMqttServer'\n\toption cwmp_version '1.0'\n"
           "\toption retries '3'\n"
           "config mqtt 'mqtt'\n\toption default_qos '1'\n\toption default_retain '0'\n"
           "\toption ca_file '" + ca + "'\n"
           "config mqtt_connect 'mqtt_connect'\n\toption connected_times '0'\n"
           // Retries within seconds, so that a test's outages cost seconds;
           // a later retry section's options take precedence.
           "config retry 'retry'\n\toption min_wait '1'\n\toption max_wait '2'\n";
}

inline size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// The agent's peers up and configured: broker, bus, carrier service and
// the platform (HTTPS and its MQTT side).
struct Rig {
    Road r;
    testsupport::TestCerts certs;
    testsupport::Broker broker{certs};
    testsupport::Child bus, zorvex, platform;
    int https_port = 0;
    std::string extra;         // more of /etc/config/ovimar
    std::vector<std::string> platform_args; // more for platform_sim ("--mode", ...)
    bool with_platform = true; // started with the rest

    bool start()
    {
        if (!r.world.ok() || !broker.start())
            return false;
        bus = start_bus(r.dir, r.sock);
        zorvex = start_zorvex(r.dir, r.sock, R"({"devAuth": {}, "devGetMqttServer": {},
            "devInfoSync": {"method": "devInfoSync"}, "getStatus": {"_result": 0}})");
        https_port = testsupport::free_port();
        r.config("ovimar", ovimar_config(https_port, certs.ca) + extra);
        if (!with_platform)
            return true;
        platform = r.platform(https_port, broker, certs, platform_args);
        return r.logged(r.plog, "https ready port");
    }

    // The agent with `timeout` taken from target ("" keeps PATH's).
    testsupport::Child agent(const std::string &target, const std::string &level = "6",
                             std::vector<std::string> env = {}) const
    {
        return agent_logging_to(r.log, target, level, env);
    }

    testsupport::Child agent_logging_to(const std::string &log, const std::string &target,
                                        const std::string &level,
                                        std::vector<std::string> more) const
    {
        auto env = r.agent_env();
        if (!target.empty()) {
            std::string bin = r.dir.file("bin");
            mkdir(bin.c_str(), 0755);
            unlink((bin + "/timeout").c_str());
            EXPECT_EQ(symlink(target.c_str(), (bin + "/timeout").c_str()), 0);
            for (auto &e : env)
                if (e.rfind("PATH=", 0) == 0)
                    e = "PATH=" + bin + ":" + e.substr(5);
        }
        env.insert(env.end(), more.begin(), more.end());
        return testsupport::Child({OVIMAR_AGENT, "-l", level, "-m", "1"}, log, env);
    }

    std::vector<std::string> clients() const { return clients_of(broker); }

    // Client ids a broker saw connecting, in order, but the platform's.
    static std::vector<std::string> clients_of(const testsupport::Broker &b)
    {
        std::vector<std::string> ids;
        std::string text = b.log();
        const std::string tag = "New client connected from ";
        for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
            size_t as = text.find(" as ", at) + 4;
            std::string id = text.substr(as, text.find(' ', as) - as);
            if (id != "ovimar-platform")
                ids.push_back(id);
        }
        return ids;
    }
};
