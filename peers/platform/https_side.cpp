#include "https_side.h"

#include <algorithm>
#include <memory>
#include <thread>

#include <httplib.h>
#include <json-c/json.h>

#include "answers.h"
#include "modes.h"

namespace {

constexpr int MISBEHAVE_MAX_MS = 60000;  // a stalled answer gives up after this
constexpr size_t TRICKLE_PIECE = 7;
constexpr int TRICKLE_GAP_MS = 100;

const platform_config *g_cfg;
std::unique_ptr<httplib::SSLServer> g_server;
std::thread g_thread;

std::string method_of(const std::string &path)
{
    if (path == g_cfg->auth_path)
        return "devAuth";
    if (path == g_cfg->server_path)
        return "devGetMqttServer";
    return "other";
}

// One line per request: what came, how it was answered, what was wrong.
void record(const httplib::Request &req, const std::string &method, const std::string &mode,
            const std::string &check)
{
    json_object *o = json_object_new_object();
    json_object_object_add(o, "path", json_object_new_string(req.path.c_str()));
    json_object_object_add(o, "method", json_object_new_string(method.c_str()));
    json_object_object_add(o, "mode", json_object_new_string(mode.c_str()));
    json_object_object_add(o, "check", json_object_new_string(check.c_str()));
    json_object_object_add(o, "content_type",
                           json_object_new_string(req.get_header_value("Content-Type").c_str()));
    json_object *body = json_tokener_parse(req.body.c_str());
    json_object_object_add(o, "body", body ? body : json_object_new_string(req.body.c_str()));
    platform_print(std::string("request ") +
                   json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN |
                                                         JSON_C_TO_STRING_NOSLASHESCAPE));
    json_object_put(o);
}

// Half the body, then nothing until the client gives up or we stop.
void send_stalled(httplib::Response &res, const std::string &body)
{
    res.set_content_provider(body.size(), "application/json",
                             [body](size_t, size_t, httplib::DataSink &sink) {
                                 sink.write(body.data(), body.size() / 2);
                                 platform_sleep(MISBEHAVE_MAX_MS);
                                 return false;
                             });
}

void send_trickle(httplib::Response &res, const std::string &body)
{
    res.set_content_provider(
        body.size(), "application/json",
        [body](size_t offset, size_t, httplib::DataSink &sink) {
            size_t n = std::min(TRICKLE_PIECE, body.size() - offset);
            if (!platform_sleep(TRICKLE_GAP_MS))
                return false;
            return sink.write(body.data() + offset, n);
        });
}

void serve(const httplib::Request &req, httplib::Response &res)
{
    std::string method = method_of(req.path);
    std::string mode = mode_next(method);
    record(req, method, mode, check_request(method, req.body));
    answer a = answer_for(platform_config_now(), method, req.body, mode);
    res.status = a.status;
    switch (a.how) {
    case delivery::silent:
        platform_sleep(MISBEHAVE_MAX_MS);
        return;
    case delivery::stall:
        send_stalled(res, a.body);
        return;
    case delivery::trickle:
        send_trickle(res, a.body);
        return;
    case delivery::whole:
        if (!a.body.empty())
            res.set_content(a.body, "application/json");
        return;
    }
}

} // namespace

bool https_side_start(const platform_config &cfg)
{
    g_cfg = &cfg;
    g_server = std::make_unique<httplib::SSLServer>(cfg.cert.c_str(), cfg.key.c_str());
    if (!g_server->is_valid()) {
        platform_print("https: cannot load " + cfg.cert + " / " + cfg.key);
        return false;
    }
    g_server->Post(".*", serve);
    int port = cfg.https_port;
    if (port == 0)
        port = g_server->bind_to_any_port(cfg.host);
    else if (!g_server->bind_to_port(cfg.host, port))
        port = -1;
    if (port <= 0) {
        platform_print("https: cannot bind " + cfg.host);
        return false;
    }
    g_thread = std::thread([] { g_server->listen_after_bind(); });
    platform_print("https ready port " + std::to_string(port));
    return true;
}

void https_side_stop()
{
    if (!g_server)
        return;
    // A stop before the loop runs would be lost and the join never end.
    for (int i = 0; i < 200 && !g_server->is_running(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    g_server->stop();
    if (g_thread.joinable())
        g_thread.join();
    g_server.reset();
}
