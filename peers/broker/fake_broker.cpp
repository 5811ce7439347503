// A broker that misbehaves on command, for what a real one will not do.
//
//   fake_broker -m MODE [-p PORT] [-c CERT -k KEY]
//
// Modes: stall (accepts TCP, then never says a word: the TLS handshake
// hangs), noconnack (TLS, reads CONNECT, never answers), suback80 (grants
// the connection, refuses every subscription with 0x80), cut (grants both,
// then sends half a PUBLISH and closes), reset (a TLS front whose broker is
// down: takes the TCP connection, reads the ClientHello, resets it).
// Each TLS peer is served by a child of its own, so that a fleet is
// served at once and a slow peer holds no other. Prints "ready PORT" once
// listening (port 0: one the kernel picks) and one line per event.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace {

enum class mode { stall, noconnack, suback80, cut, reset };

struct mode_name {
    std::string_view name;
    mode m;
};

constexpr mode_name MODES[] = {
    {"stall", mode::stall},
    {"noconnack", mode::noconnack},
    {"suback80", mode::suback80},
    {"cut", mode::cut},
    {"reset", mode::reset},
};

struct ssl_free {
    void operator()(SSL *s) const { SSL_free(s); }
};
using ssl_ptr = std::unique_ptr<SSL, ssl_free>;

struct fd_owner {
    int fd = -1;
    explicit fd_owner(int f) : fd(f) {}
    ~fd_owner()
    {
        if (fd >= 0)
            close(fd);
    }
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
};

bool read_all(SSL *s, unsigned char *buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        int r = SSL_read(s, buf + got, static_cast<int>(n - got));
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// One MQTT packet: type nibble in *type, body in body.
bool read_packet(SSL *s, int *type, std::vector<unsigned char> &body)
{
    unsigned char b;
    if (!read_all(s, &b, 1))
        return false;
    *type = b >> 4;
    size_t len = 0;
    for (int shift = 0; shift < 28; shift += 7) {
        if (!read_all(s, &b, 1))
            return false;
        len |= static_cast<size_t>(b & 0x7f) << shift;
        if (!(b & 0x80))
            break;
    }
    body.resize(len);
    return len == 0 || read_all(s, body.data(), len);
}

bool send_bytes(SSL *s, const unsigned char *p, int n)
{
    return SSL_write(s, p, n) == n;
}

constexpr int CONNECT = 1, SUBSCRIBE = 8, PINGREQ = 12, DISCONNECT = 14;

void serve(SSL *s, mode m)
{
    int type;
    std::vector<unsigned char> body;
    while (read_packet(s, &type, body)) {
        printf("packet %d\n", type);
        if (type == CONNECT && m != mode::noconnack) {
            const unsigned char connack[] = {0x20, 0x02, 0x00, 0x00};
            send_bytes(s, connack, sizeof connack);
        } else if (type == SUBSCRIBE && body.size() >= 2) {
            unsigned char qos = m == mode::suback80 ? 0x80 : 0x01;
            const unsigned char suback[] = {0x90, 0x03, body[0], body[1], qos};
            send_bytes(s, suback, sizeof suback);
            if (m == mode::cut) {
                // Claims 100 bytes, delivers 6.
                const unsigned char half[] = {0x30, 100, 0x00, 0x02, 't', '/'};
                send_bytes(s, half, sizeof half);
                printf("cut\n");
                return;
            }
        } else if (type == PINGREQ) {
            const unsigned char pingresp[] = {0xd0, 0x00};
            send_bytes(s, pingresp, sizeof pingresp);
        } else if (type == DISCONNECT) {
            return;
        }
    }
}

int listen_on(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) || listen(fd, 512)) {
        perror("fake_broker: listen");
        exit(1);
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    printf("ready %d\n", ntohs(a.sin_port));
    return fd;
}

SSL_CTX *tls_context(const char *cert, const char *key)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, cert) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        exit(1);
    }
    return ctx;
}

} // namespace

int main(int argc, char **argv)
{
    const char *cert = nullptr, *key = nullptr, *name = nullptr;
    int port = 0;
    for (int c; (c = getopt(argc, argv, "m:p:c:k:")) != -1;) {
        switch (c) {
        case 'm': name = optarg; break;
        case 'p': port = atoi(optarg); break;
        case 'c': cert = optarg; break;
        case 'k': key = optarg; break;
        default: return 2;
        }
    }
    const mode_name *mn = nullptr;
    for (const auto &x : MODES)
        if (name && x.name == name)
            mn = &x;
    bool tls = mn && mn->m != mode::stall && mn->m != mode::reset;
    if (!mn || (tls && (!cert || !key))) {
        fprintf(stderr, "usage: fake_broker -m stall|noconnack|suback80|cut|reset [-p PORT] "
                        "[-c CERT -k KEY]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGCHLD, SIG_IGN); // children reap themselves

    SSL_CTX *ctx = tls ? tls_context(cert, key) : nullptr;
    fd_owner lsn(listen_on(port));
    std::vector<int> held; // stalled peers stay open, unread
    for (;;) {
        int fd = accept4(lsn.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        printf("accept\n");
        if (mn->m == mode::stall) {
            held.push_back(fd);
            continue;
        }
        if (mn->m == mode::reset) {
            unsigned char hello[512];
            ssize_t n = read(fd, hello, sizeof hello);
            linger rst = {1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &rst, sizeof rst);
            close(fd);
            printf("reset after %zd bytes\n", n);
            continue;
        }
        pid_t child = fork();
        if (child != 0) {
            close(fd);
            continue;
        }
        // The child: gone with its parent, never waiting long on a peer.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(lsn.fd);
        timeval limit = {30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        fd_owner conn(fd);
        ssl_ptr s(SSL_new(ctx));
        SSL_set_fd(s.get(), fd);
        if (SSL_accept(s.get()) != 1) {
            printf("handshake failed\n");
            _exit(0);
        }
        serve(s.get(), mn->m);
        printf("closed\n");
        fflush(stdout);
        _exit(0);
    }
}
