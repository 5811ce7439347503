#include "broker.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

namespace {

void must(const std::vector<std::string> &argv)
{
    Result r = run(argv);
    if (r.code != 0)
        throw std::runtime_error(argv[0] + " failed: " + r.err);
}

// Started as root the broker reads its files as user mosquitto.
void open_to_all(const std::string &dir)
{
    chmod(dir.c_str(), 0755);
    must({"sh", "-c", "chmod a+r '" + dir + "'/*"});
}

bool listening(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

} // namespace

TestCerts::TestCerts()
{
    const std::string ca_key = dir.file("ca.key"), csr = dir.file("server.csr");
    const std::string ext = dir.file("ext.cnf");
    write_file(ext, "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    must({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
          "-nodes", "-keyout", ca_key, "-out", ca, "-days", "2", "-subj", "/CN=ovimar test CA"});
    must({"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
          "-keyout", key, "-out", csr, "-subj", "/CN=localhost"});
    must({"openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key,
          "-CAcreateserial", "-out", cert, "-days", "2", "-extfile", ext});
    open_to_all(dir.path());
}

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len))
        throw std::runtime_error("free_port");
    close(fd);
    return ntohs(a.sin_port);
}

Broker::Broker(const TestCerts &certs) : certs_(certs)
{
    set_password(PASSWORD);
}

void Broker::set_password(const std::string &password)
{
    must({"mosquitto_passwd", "-b", "-c", dir_.file("passwd"), USER, password});
}

// TLS settings belong to the listener line before them.
std::string Broker::listener(const char *address) const
{
    return "listener " + std::to_string(port_) + " " + address + "\n" +
           "cafile " + certs_.ca + "\n" + "certfile " + certs_.cert + "\n" +
           "keyfile " + certs_.key + "\n";
}

bool Broker::start()
{
    for (int attempt = 0; attempt < 3; attempt++) {
        if (port_ == 0 || attempt > 0)
            port_ = free_port();
        write_file(dir_.file("broker.conf"),
                   "per_listener_settings false\n"
                   "allow_anonymous false\n"
                   "password_file " + dir_.file("passwd") + "\n"
                   "persistence false\n"
                   "log_dest file " + dir_.file("broker.log") + "\n"
                   "log_type all\n" + options_ +
                   listener("127.0.0.1") + listener(SECOND_ADDRESS));
        // Its own log file, which it opens after dropping to its user.
        std::string log = dir_.file("broker.log");
        write_file(log, "");
        chmod(log.c_str(), 0666);
        open_to_all(dir_.path());
        proc_ = Child({"mosquitto", "-c", dir_.file("broker.conf")}, dir_.file("broker.out"));
        bool up = wait_for(5000, [&] { return listening(port_) || !proc_.running(); });
        if (up && proc_.running())
            return true;
        proc_.stop(9);
    }
    return false;
}

} // namespace testsupport
