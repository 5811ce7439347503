// The simulated carrier platform and carrier service, and the bus daemon
// they meet on, started for one test and stopped by PID when it ends.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <json-c/json.h>

#include "env.h"
#include "proc.h"

struct json_drop {
    void operator()(json_object *o) const { json_object_put(o); }
};
using json_obj = std::unique_ptr<json_object, json_drop>;

inline std::string json_str(json_object *o, const char *key)
{
    json_object *v = nullptr;
    if (!o || !json_object_object_get_ex(o, key, &v) || !v)
        return "<missing>";
    return json_object_get_string(v);
}

// A self-signed certificate for 127.0.0.1 only, made once per test program.
struct TestCert {
    testsupport::TempDir dir;
    std::string cert = dir.file("cert.pem");
    std::string key = dir.file("key.pem");
    TestCert()
    {
        auto r = testsupport::run({OPENSSL_CMD, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                   "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key,
                                   "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                                   "-addext", "subjectAltName=IP:127.0.0.1"});
        if (r.code != 0)
            throw std::runtime_error("openssl: " + r.err);
    }
};

inline const TestCert &test_cert()
{
    static TestCert c;
    return c;
}

// platform_sim on a free loopback port; modes as "METHOD=MODE,...".
struct Platform {
    std::string log;
    testsupport::Child child;
    int port = 0;

    Platform(const testsupport::TempDir &dir, const std::vector<std::string> &modes = {},
             const std::vector<std::string> &extra = {})
        : log(dir.file("platform.log"))
    {
        std::vector<std::string> argv = {PLATFORM_SIM, "--cert", test_cert().cert, "--key",
                                         test_cert().key};
        for (const auto &m : modes) {
            argv.push_back("--mode");
            argv.push_back(m);
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        child = testsupport::Child(argv, log);
        const std::string ready = "https ready port ";
        if (!testsupport::wait_for(10000, [&] {
                return testsupport::read_file(log).find(ready) != std::string::npos;
            }))
            throw std::runtime_error("platform_sim: " + testsupport::read_file(log));
        std::string out = testsupport::read_file(log);
        port = atoi(out.c_str() + out.find(ready) + ready.size());
    }

    std::string url(const std::string &path = "/echo") const
    {
        return "https://127.0.0.1:" + std::to_string(port) + path;
    }

    // Every request the platform saw, in order.
    std::vector<json_obj> requests() const { return parse(log); }

    // The request lines of a platform log.
    static std::vector<json_obj> parse(const std::string &log)
    {
        std::vector<json_obj> all;
        std::string text = testsupport::read_file(log);
        const std::string tag = "request ";
        for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at)) {
            size_t end = text.find('\n', at);
            all.emplace_back(json_tokener_parse(text.substr(at + tag.size(), end - at - tag.size()).c_str()));
            at = end;
        }
        return all;
    }
};

// The bus daemon on a private socket.
inline testsupport::Child start_bus(const testsupport::TempDir &dir, const std::string &sock)
{
    unlink(sock.c_str());
    testsupport::Child c({UBUSD, "-s", sock}, dir.file("ubusd.log"));
    if (!testsupport::wait_for(5000, [&] { return testsupport::unix_accepts(sock); }))
        throw std::runtime_error("ubusd did not start");
    return c;
}

// zorvex_sim answering from the given replies text.
inline testsupport::Child start_zorvex(const testsupport::TempDir &dir, const std::string &sock,
                                       const std::string &replies)
{
    testsupport::write_file(dir.file("replies.json"), replies);
    std::string log = dir.file("zorvex.log");
    testsupport::Child c({ZORVEX_SIM, "-s", sock, dir.file("replies.json")}, log);
    if (!testsupport::wait_for(5000, [&] {
            return testsupport::read_file(log).find("ready") != std::string::npos;
        }))
        throw std::runtime_error("zorvex_sim: " + testsupport::read_file(log));
    return c;
}

// A private router for the agent program: its bus socket, and its UCI
// read with the router's own command.
struct AgentRouter : PrivateRouter {
    std::string sock = world.paths().ubus_socket;

    std::vector<std::string> agent_env() const { return env(); }

    // The value, or "<none>" where uci has none.
    std::string uci_get(const std::string &what) const
    {
        testsupport::RunOptions o;
        o.env = agent_env();
        auto r = testsupport::run({UCI_CMD, "get", what}, o);
        return r.code == 0 ? r.out.substr(0, r.out.find('\n')) : "<none>";
    }
};
