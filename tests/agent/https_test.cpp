// The HTTPS transport with real libcurl against the simulated platform, a
// real HTTPS server process with a certificate made for the test.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "config.h"
#include "https.h"
#include "log.h"
#include "logged.h"
#include "peers.h"

namespace {

struct Post {
    resp_buf resp = {}; // before rc: the post fills it
    int rc;
    Post(const std::string &url, const std::string &body)
        : rc(curl_process_https_post(url.c_str(), body.c_str(),
                                     static_cast<uint32_t>(body.size()), &resp))
    {
    }
    ~Post() { free(resp.resp_text); }
    std::string text() const { return resp.resp_text ? resp.resp_text : ""; }
};

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        n++;
    return n;
}

class Transport : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    void SetUp() override
    {
        g_config_https = {};
        log_level_set(OVIMAR_LOG_DEBUG);
    }
    void TearDown() override
    {
        g_config_https = {};
        log_level_set(OVIMAR_LOG_ERR);
    }
};

} // namespace

TEST_F(Transport, BodyOf2047BytesGoesWhole2048IsRefused)
{
    Platform platform(dir);
    std::string body(2047, 'b');
    {
        Post p(platform.url(), body);
        ASSERT_EQ(p.rc, 0);
        EXPECT_EQ(p.text(), body); // the platform answers other paths with the body
    }
    std::string log = logged([&] { EXPECT_EQ(Post(platform.url(), body + "b").rc, -1); });
    EXPECT_NE(log.find("post len too long!"), std::string::npos);
    auto seen = platform.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(json_str(seen[0].get(), "content_type"), "application/json");
}

TEST_F(Transport, AnswersAreCollectedWhateverTheirShape)
{
    const std::string body = R"({"id":"2","pad":")" + std::string(200, 'q') + "\"}";
    struct Case {
        const char *mode;
        int rc;
        size_t len;          // expected resp_len; 0 with no text
        const char *holds;   // a piece of the text
    } cases[] = {
        {"status500", 0, 0, "\"result\":9001"},
        {"empty", 0, 0, nullptr},
        {"trickle", 0, body.size(), "qqqq\"}"},
        {"size:1048576", 0, HTTPS_RESP_MAX, "\"pad\":\"ppp"},
        {"size:1048577", -1, 0, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        // The 1 MiB answers would be traced piece by piece: keep the log short.
        log_level_set(c.len > 4096 || c.rc ? OVIMAR_LOG_ERR : OVIMAR_LOG_DEBUG);
        Platform platform(dir, {std::string("other=") + c.mode});
        std::unique_ptr<Post> post;
        std::string log = logged([&] { post = std::make_unique<Post>(platform.url(), body); });
        const Post &p = *post;
        EXPECT_EQ(p.rc, c.rc);
        if (c.len) {
            EXPECT_EQ(p.resp.resp_len, c.len);
        }
        if (c.holds) {
            EXPECT_NE(p.text().find(c.holds), std::string::npos) << p.text().substr(0, 200);
        }
        if (!c.len && !c.holds && c.rc == 0) {
            EXPECT_EQ(p.resp.resp_text, nullptr);
            EXPECT_EQ(p.resp.resp_len, 0u);
        }
        if (p.resp.resp_text) {
            EXPECT_EQ(strlen(p.resp.resp_text), p.resp.resp_len);
        }
        EXPECT_LE(p.resp.resp_len, HTTPS_RESP_MAX);
        if (c.rc) {
            EXPECT_NE(log.find("https response over 1048576 bytes"), std::string::npos);
        }
        if (std::string(c.mode) == "trickle") { // several pieces, stored contiguously
            EXPECT_GT(count(log, "https response: size:"), 10u);
        }
    }
}

TEST_F(Transport, ConfiguredPortServesAUrlWithoutSchemeOrPort)
{
    Platform platform(dir);
    std::string url = "127.0.0.1/echo";
    g_config_https.port = platform.port;
    EXPECT_EQ(Post(url, "{}").rc, 0);
    ASSERT_EQ(platform.requests().size(), 1u);
    EXPECT_EQ(json_str(platform.requests()[0].get(), "path"), "/echo");
    g_config_https.port = 0; // now the https default, 443, where nothing listens
    EXPECT_EQ(Post(url, "{}").rc, -1);
}

TEST_F(Transport, CertificatesAreCheckedOnlyWhenAsked)
{
    Platform platform(dir);
    const std::string port = std::to_string(platform.port);
    struct Case {
        bool verify;
        std::string ca;
        std::string host;
        int rc;
    } cases[] = {
        {false, "", "127.0.0.1", 0},                  // self-signed, as deployed
        {false, "", "localhost", 0},                  // name not in the certificate
        {true, test_cert().cert, "127.0.0.1", 0},     // chains to the given CA
        {true, "", "127.0.0.1", -1},                  // not in the system's bundle
        {true, test_cert().cert, "localhost", -1},    // name does not match
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.host + (c.verify ? " verify " : " no verify ") + c.ca);
        g_config_https.verify = c.verify;
        snprintf(g_config_https.ca_file, sizeof(g_config_https.ca_file), "%s", c.ca.c_str());
        EXPECT_EQ(Post("https://" + c.host + ":" + port + "/echo", "{}").rc, c.rc);
    }
}

// A listener that takes connections and never speaks TLS: only a limit
// ends the handshake.
TEST_F(Transport, SilentListenerEndsAtTheConnectOrStallLimit)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), len), 0);
    ASSERT_EQ(listen(fd, 8), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
    std::string url = "https://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";

    struct Case {
        int connect_timeout, stall_timeout;
    } cases[] = {{1, 60}, {0, 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.connect_timeout);
        g_config_https.connect_timeout = c.connect_timeout;
        g_config_https.stall_timeout = c.stall_timeout;
        auto start = std::chrono::steady_clock::now();
        std::string log = logged([&] { EXPECT_EQ(Post(url, "{}").rc, -1); });
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_NE(log.find("curl error code 28\n"), std::string::npos) << log;
        // Well under the other limit: the one configured ended it.
        EXPECT_LT(took, std::chrono::seconds(20));
        printf("silent listener, connect %d s, stall %d s: ended after %lld ms\n",
               c.connect_timeout, c.stall_timeout,
               static_cast<long long>(
                   std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    }
    close(fd);
}

TEST_F(Transport, StallMidBodyEndsTheTransferATrickleDoesNot)
{
    g_config_https.stall_timeout = 1;
    Platform platform(dir, {"other=stall,trickle"});
    std::string body = R"({"id":"9","text":")" + std::string(100, 't') + "\"}";
    std::string log = logged([&] {
        Post p(platform.url(), body);
        EXPECT_EQ(p.rc, -1);
        // What came before the stall stays for the caller to free.
        EXPECT_EQ(p.text(), body.substr(0, body.size() / 2));
    });
    EXPECT_NE(log.find("curl error code 28\n"), std::string::npos);
    Post p(platform.url(), body); // 7 bytes every 100 ms is progress
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.text(), body);
}
