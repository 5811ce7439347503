// Round trips of a call with a 1 KiB JSON payload between two processes
// through the host bus: prints calls per second and p50/p99 latency.
//   ubus_bench [CALLS]   (default 20000)
// Starts its own ubusd on a private socket and a callee process, and stops
// both by PID when done.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubus.h>
}

namespace {

double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int echo(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    return ubus_send_reply(ctx, req, msg);
}

const ubus_method METHODS[] = {{"echo", echo, 0, 0, nullptr, 0}};
ubus_object_type g_type = {"bench", 0, METHODS, 1};

[[noreturn]] void callee(const char *sock)
{
    ubus_context *ctx = ubus_connect(sock);
    if (!ctx)
        _exit(1);
    ubus_object obj{};
    obj.name = "bench";
    obj.type = &g_type;
    obj.methods = METHODS;
    obj.n_methods = 1;
    if (ubus_add_object(ctx, &obj))
        _exit(1);
    ubus_add_uloop(ctx);
    uloop_run();
    ubus_free(ctx);
    _exit(0);
}

void stop(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

size_t g_replied;
void count_reply(ubus_request *, int, blob_attr *msg)
{
    g_replied += blob_len(msg);
}

// About 1 KiB of JSON text, shaped like a platform request.
std::string payload()
{
    std::string s = R"({"method":"devInfoSync","id":"1234","params":[)";
    for (int i = 0; s.size() < 1000; i++)
        s += (i ? "," : "") + std::string(R"({"name":"Device.Param.)") + std::to_string(i) +
             R"(","value":"0123456789abcdef"})";
    return s + "]}";
}

} // namespace

int main(int argc, char **argv)
{
    int calls = argc > 1 ? atoi(argv[1]) : 20000;
    char dir[] = "/tmp/ubus-bench.XXXXXX";
    if (!mkdtemp(dir))
        return 1;
    std::string sock = std::string(dir) + "/ubus.sock";

    pid_t daemon = fork();
    if (daemon == 0) {
        execl(UBUSD_BIN, UBUSD_BIN, "-s", sock.c_str(), nullptr);
        _exit(127);
    }
    ubus_context *ctx = nullptr;
    for (int i = 0; i < 500 && !ctx; i++) {
        usleep(10000);
        ctx = ubus_connect(sock.c_str());
    }
    pid_t peer = ctx ? fork() : -1;
    if (peer == 0) {
        ubus_free(ctx);
        callee(sock.c_str());
    }

    int ret = 1;
    uint32_t id = 0;
    for (int i = 0; i < 500 && ctx && ubus_lookup_id(ctx, "bench", &id); i++)
        usleep(10000);
    if (ctx && id) {
        std::string json = payload();
        blob_buf b{};
        blob_buf_init(&b, 0);
        blobmsg_add_json_from_string(&b, json.c_str());

        for (int i = 0; i < 500; i++)
            ubus_invoke(ctx, id, "echo", b.head, count_reply, nullptr, 5000);
        std::vector<double> lat;
        lat.reserve(static_cast<size_t>(calls));
        int failed = 0;
        double t0 = now();
        for (int i = 0; i < calls; i++) {
            double s = now();
            if (ubus_invoke(ctx, id, "echo", b.head, count_reply, nullptr, 5000))
                failed++;
            lat.push_back(now() - s);
        }
        double total = now() - t0;
        std::sort(lat.begin(), lat.end());
        auto pct = [&](double p) { return lat[static_cast<size_t>(p * (lat.size() - 1))] * 1e6; };
        printf("payload: %zu bytes of JSON (%zu as blobmsg), echoed back\n", json.size(),
               blob_len(b.head));
        printf("calls: %d in %.2f s, %d failed\n", calls, total, failed);
        printf("round trips per second: %.0f\n", calls / total);
        printf("latency p50: %.1f us  p99: %.1f us  max: %.1f us\n", pct(0.50), pct(0.99),
               lat.back() * 1e6);
        blob_buf_free(&b);
        ret = failed ? 1 : 0;
    } else {
        fprintf(stderr, "ubus_bench: could not start the bus\n");
    }

    if (ctx)
        ubus_free(ctx);
    stop(peer);
    stop(daemon);
    unlink(sock.c_str());
    rmdir(dir);
    return ret;
}
