// Debian's mosquitto on a free loopback port: TLS only, user and password
// required, certificates made for the run with openssl.
#pragma once

#include <string>

#include "proc.h"

namespace testsupport {

// A CA and a server certificate for 127.0.0.1 and localhost.
struct TestCerts {
    TempDir dir;
    std::string ca = dir.file("ca.pem");
    std::string cert = dir.file("server.pem");
    std::string key = dir.file("server.key");
    TestCerts();
};

class Broker {
public:
    static constexpr const char *USER = "device";
    static constexpr const char *PASSWORD = "pw-0vimar";
    // Also listened on: an address the server certificate does not name.
    static constexpr const char *SECOND_ADDRESS = "127.0.0.2";

    explicit Broker(const TestCerts &certs);
    // A global line of mosquitto.conf for the next start ("set_tcp_nodelay true").
    void add_option(const std::string &line) { options_ += line + "\n"; }
    // The password the next start takes (credentials rotated).
    void set_password(const std::string &password);
    // Starts on the port of the previous run, or a free one; true once listening.
    bool start();
    void stop(int sig = 15) { proc_.stop(sig); }
    int port() const { return port_; }
    pid_t pid() const { return proc_.pid(); }
    std::string log() const { return read_file(dir_.file("broker.log")); }

private:
    std::string listener(const char *address) const;
    const TestCerts &certs_;
    TempDir dir_;
    int port_ = 0;
    std::string options_;
    Child proc_;
};

// A loopback port nobody listens on right now.
int free_port();

} // namespace testsupport
