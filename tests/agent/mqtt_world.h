// The agent's session in this process against real peers: the bus daemon
// and the carrier service, a broker (Debian's mosquitto, or the fake one),
// and the platform's MQTT side. Config dir, save dir and bus socket are
// set here only.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern "C" {
#include <libubox/uloop.h>
}

#include "app.h"
#include "broker.h"
#include "cmd.h"
#include "config.h"
#include "dispatch.h"
#include "env.h"
#include "log.h"
#include "loop.h"
#include "mqtt.h"
#include "proc.h"
#include "request.h"
#include "state.h"
#include "ubus.h"

namespace world {

constexpr char UUID[] = "uuid-0001";
constexpr char TOPIC[] = "down/uuid-0001";
constexpr char COOKIE[] = "ck-1";
constexpr char PLATFORM_DEV_ID[] = "PLAT-DEV-9";
constexpr char PLATFORM_SECRET[] = "s3cret-9";

inline time_t g_clock_offset;
inline std::vector<uint32_t> g_ticks;          // state at each tick, repeats folded
inline std::vector<std::string> g_agent_got;   // every payload the session delivered

template <size_t N> void set(char (&dst)[N], const std::string &src)
{
    snprintf(dst, N, "%s", src.c_str());
}

inline time_t fake_now(time_t *)
{
    if (g_ticks.empty() || g_ticks.back() != agent_state_get())
        g_ticks.push_back(agent_state_get());
    return time(nullptr) + g_clock_offset;
}

// The states set, in order, from the agent's log.
inline std::vector<uint32_t> changes(const std::string &log)
{
    std::vector<uint32_t> out;
    const std::string tag = "change state machines to:";
    for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1))
        out.push_back(static_cast<uint32_t>(atoi(log.c_str() + at + tag.size())));
    return out;
}

// The agent's own dispatcher, with a record of what it was handed.
inline void dispatch_recorded(const char *payload)
{
    g_agent_got.emplace_back(payload);
    ovimar_parse_response_msg(payload);
}

class World : public ::testing::Test {
protected:
    PrivateRouter router; // first: every folder of the test lives inside it
    testsupport::TestCerts certs_;
    const testsupport::TestCerts *certs = &certs_;
    testsupport::TempDir dir;
    std::string sock = router.world.paths().ubus_socket;
    std::string fifo = dir.file("platform.cmd");
    testsupport::Broker broker{*certs};
    testsupport::Child bus, zorvex, platform;
    state_ops saved_ops = g_state_ops;

    void SetUp() override
    {
        bus = testsupport::Child({UBUSD, "-s", sock}, dir.file("ubusd.log"));
        ASSERT_TRUE(testsupport::wait_for(5000, [&] { return testsupport::unix_accepts(sock); }));
        testsupport::write_file(dir.file("replies.json"), R"({
            "devInfoSync": {"method": "devInfoSync", "model": "QX-1"},
            "bind": {"method": "bind", "mac": "00:11:22:33:44:55"},
            "getStatus": {"id": "77", "result": "0", "status": "ok"}
        })");
        zorvex = testsupport::Child({ZORVEX_SIM, "-s", sock, dir.file("replies.json")},
                                    dir.file("zorvex.log"));
        ASSERT_TRUE(testsupport::wait_for(5000, [&] {
            return zorvex_log().find("ready") != std::string::npos;
        }));
        write_uci(false);
        g_clock_offset = 0;
        g_ticks.clear();
        g_agent_got.clear();
        log_level_set(OVIMAR_LOG_INFO);
    }

    void TearDown() override
    {
        mqtt_teardown();
        run_loop_for(10); // lets a deferred teardown finish
        uloop_timeout_cancel(&g_state_timer);
        ovimar_ubus_done();
        g_state_ops = saved_ops;
        log_level_set(OVIMAR_LOG_ERR);
    }

    void write_uci(bool bound)
    {
        router.config("ovimar", "config get_mqtt_server 'get_mqtt_server'\n"
                                "\toption cwmp_version '1.0'\n"
                                "config mqtt 'mqtt'\n"
                                "\toption default_qos '1'\n"
                                "\toption default_retain '0'\n"
                                "\toption ca_file '" + certs->ca + "'\n"
                                "config status 'status'\n" +
                                std::string(bound ? "\toption devId 'OLD-DEV'\n"
                                                    "\toption secret 'old-secret'\n"
                                                  : "") +
                                "config mqtt_connect 'mqtt_connect'\n"
                                "\toption connected_times '0'\n");
        router.config("zorvex_group", "config shp 'shp'\n"
                                      "\toption devId 'SHP-DEV-1'\n"
                                      "\toption code 'REG-42'\n"
                                      "\toption account 'app-user'\n");
    }

    std::string zorvex_log() { return testsupport::read_file(dir.file("zorvex.log")); }
    std::string platform_log() { return testsupport::read_file(dir.file("platform.log")); }

    void start_platform()
    {
        // Its HTTPS side is unused here: the agent starts past the login.
        platform = testsupport::Child(
            {PLATFORM_SIM, "--cert", certs->cert, "--key", certs->key, "--broker",
             "127.0.0.1:" + std::to_string(broker.port()), "--mqtt-ca", certs->ca, "--user",
             testsupport::Broker::USER, "--password", testsupport::Broker::PASSWORD, "--uuid",
             UUID, "--topic", TOPIC, "--dev-id", PLATFORM_DEV_ID, "--secret", PLATFORM_SECRET,
             "--commands", fifo},
            dir.file("platform.log"));
        ASSERT_TRUE(testsupport::wait_for(5000, [&] {
            return platform_log().find("subscribed") != std::string::npos;
        })) << platform_log();
    }

    void platform_send(const std::string &json)
    {
        int fd = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        std::string line = "send " + json + "\n";
        for (size_t done = 0; done < line.size();) {
            ssize_t n = write(fd, line.data() + done, line.size() - done);
            ASSERT_GT(n, 0);
            done += static_cast<size_t>(n);
        }
        close(fd);
    }

    void send_event(const std::string &name, const std::string &json)
    {
        auto r = testsupport::run({UBUS_CMD, "-s", sock, "send", name, json});
        ASSERT_EQ(r.code, 0) << r.err;
    }

    // The agent as start-up leaves it, with the broker named by the platform
    // and the HTTPS side answering at once.
    void start_agent(int port, bool bound = false)
    {
        write_uci(bound);
        memset(&g_dev_status, 0, sizeof g_dev_status);
        config_load();
        bind_info_load();
        set(g_client_id, "ovimar-test-device");
        memset(&g_mqtt_server, 0, sizeof g_mqtt_server);
        set(g_mqtt_server.cookie, COOKIE);
        set(g_mqtt_server.uuid, UUID);
        set(g_mqtt_server.Topic, TOPIC);
        set(g_mqtt_server.BrokerAddress, "127.0.0.1");
        set(g_mqtt_server.Username, testsupport::Broker::USER);
        set(g_mqtt_server.Password, testsupport::Broker::PASSWORD);
        g_mqtt_server.BrokerPort = port;
        g_mqtt_server.KeepAliveTime = 60;

        ASSERT_EQ(ovimar_ubus_connect(), 0);
        mqtt_set_hook(MQTT_HOOK_SUBSCRIBE, reinterpret_cast<void *>(mqtt_subscribed));
        mqtt_set_hook(MQTT_HOOK_MESSAGE, reinterpret_cast<void *>(dispatch_recorded));
        ubus_hook_set(UBUS_HOOK_LOCAL, local_msg_handler);
        ubus_hook_set(UBUS_HOOK_APP, app_msg_handler);
        ubus_event_register("APP_AUTH", UBUS_HOOK_APP);
        ubus_event_register("Notify", UBUS_HOOK_LOCAL);

        g_state_ops.now = fake_now;
        g_state_ops.rand = [] { return 0; }; // a first retry 1 s after a failure
        g_state_ops.dev_auth = [] { agent_state_set(OVIMAR_HTTPS_GET_SERVER); return 0; };
        g_state_ops.get_mqtt_server = [] { agent_state_set(OVIMAR_MQTT_CONNECT); return 0; };
        agent_state_set(OVIMAR_MQTT_CONNECT);
        ASSERT_EQ(state_machine_arm(), 0);
    }

    // Wall time: a loop that spins returns from each run at once.
    template <class F> bool pump_until(int ms, F pred)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!pred() && std::chrono::steady_clock::now() < end)
            run_loop_for(20);
        return pred();
    }

    bool reach(uint32_t state, int ms = 8000)
    {
        return pump_until(ms, [&] { return agent_state_get() == state; });
    }

    // The next tick now, not after the 10 s of the idle states.
    void kick() { uloop_timeout_set(&g_state_timer, 1); }

    bool platform_saw(const std::string &what, int ms = 5000)
    {
        return pump_until(ms, [&] { return platform_log().find(what) != std::string::npos; });
    }

    std::string uci(const char *package, const char *section, const char *option)
    {
        char buf[256] = "";
        uci_get_value(package, section, option, buf, sizeof buf);
        return buf;
    }
};

} // namespace world
