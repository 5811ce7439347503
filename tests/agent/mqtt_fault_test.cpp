// What a real broker will not do on command, from the fake broker: a
// refused subscription, a CONNACK that never comes, a TLS handshake that
// stalls, a connection cut in the middle of a packet.
#include <sys/resource.h>
#include <sys/socket.h>

#include <mosquitto.h>

#include <cstdio>

#include "capture.h"
#include "mqtt_world.h"

using namespace world;

namespace {

double cpu_ms()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

class Faults : public World {
protected:
    testsupport::Child fake;

    int start_fake(const char *mode)
    {
        std::string log = dir.file("fake.log");
        fake = testsupport::Child({FAKE_BROKER, "-m", mode, "-c", certs->cert, "-k", certs->key},
                                  log);
        int port = 0;
        EXPECT_TRUE(testsupport::wait_for(5000, [&] {
            return sscanf(testsupport::read_file(log).c_str(), "ready %d", &port) == 1;
        }));
        return port;
    }

    std::string fake_log() { return testsupport::read_file(dir.file("fake.log")); }

    // Past the 60 s of state 3 on the agent's clock: torn down, connected anew.
    void expect_time_limit()
    {
        StdoutCapture out;
        g_clock_offset += 61;
        kick();
        ASSERT_TRUE(pump_until(3000, [&] {
            return out.text().find("change state machines to:2 from:3\n") != std::string::npos;
        })) << out.text();
        ASSERT_TRUE(reach(OVIMAR_MQTT_CONNECTING, 3000));
    }
};

} // namespace

TEST_F(Faults, RefusedSubscriptionStaysConnecting)
{
    start_agent(start_fake("suback80"));
    ASSERT_TRUE(pump_until(5000, [&] {
        return uci("ovimar", "mqtt_connect", "connected_times") == "1";
    }));
    pump_until(1500, [] { return false; });
    EXPECT_EQ(agent_state_get(), OVIMAR_MQTT_CONNECTING);
    expect_time_limit();
}

TEST_F(Faults, ConnackThatNeverComes)
{
    start_agent(start_fake("noconnack"));
    ASSERT_TRUE(pump_until(5000, [&] { return fake_log().find("packet 1") != std::string::npos; }));
    pump_until(1500, [] { return false; });
    EXPECT_EQ(agent_state_get(), OVIMAR_MQTT_CONNECTING);
    expect_time_limit();
}

// With 2.0.16 and later the library wants to write for the whole handshake;
// an agent that arms write interest on that spins a core.
TEST_F(Faults, StalledHandshakeCostsNoCpu)
{
    start_agent(start_fake("stall"));
    ASSERT_TRUE(reach(OVIMAR_MQTT_CONNECTING, 5000));
    double cpu0 = cpu_ms();
    auto t0 = std::chrono::steady_clock::now();
    pump_until(3000, [] { return false; });
    double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                      .count();
    double used = cpu_ms() - cpu0;
    int major, minor, rev;
    mosquitto_lib_version(&major, &minor, &rev);
    printf("stalled TLS handshake, libmosquitto %d.%d.%d: %.1f ms CPU in %.0f ms\n", major,
           minor, rev, used, wall);
    EXPECT_LT(used, wall * 0.1);
    EXPECT_EQ(agent_state_get(), OVIMAR_MQTT_CONNECTING);
    expect_time_limit();
}

TEST_F(Faults, CutMidPacketDropsTheRegistration)
{
    start_agent(start_fake("cut"));
    ASSERT_TRUE(reach(OVIMAR_MQTT_RECONNECT, 5000)) << fake_log();
    EXPECT_EQ(mqtt_registered_fd(), -1);
    // The number is free again: a new socket gets it, and the session's
    // next steps leave that socket alone.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    mqtt_loop_misc();
    mqtt_update_write_interest();
    EXPECT_EQ(mqtt_registered_fd(), -1);
    close(s);
    // Reconnects and is cut again, over and over, without a crash.
    kick();
    ASSERT_TRUE(pump_until(5000, [&] {
        std::string l = fake_log();
        return l.find("cut") != l.rfind("cut");
    })) << fake_log();
}
