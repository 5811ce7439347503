#include "modes.h"

#include <map>
#include <mutex>
#include <string_view>
#include <vector>

namespace {

std::mutex g_lock;
std::map<std::string, std::vector<std::string>> g_queues;

constexpr std::string_view KNOWN[] = {
    "ok", "status500", "empty", "not_json", "wrong_id", "result9008", "result9009",
    "strings", "long", "no_cookie", "no_params", "no_client", "no_address",
    "params_text", "params_bad", "silent", "stall", "trickle",
};

} // namespace

bool mode_known(const std::string &mode)
{
    if (mode.rfind("size:", 0) == 0)
        return mode.size() > 5 && mode.find_first_not_of("0123456789", 5) == std::string::npos;
    for (auto k : KNOWN)
        if (mode == k)
            return true;
    return false;
}

bool modes_parse(const std::string &arg)
{
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    std::vector<std::string> modes;
    for (size_t at = eq + 1; at <= arg.size();) {
        size_t comma = arg.find(',', at);
        if (comma == std::string::npos)
            comma = arg.size();
        std::string m = arg.substr(at, comma - at);
        if (!mode_known(m))
            return false;
        modes.push_back(m);
        at = comma + 1;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    g_queues[arg.substr(0, eq)] = modes;
    return true;
}

std::string mode_next(const std::string &method)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = g_queues.find(method);
    if (it == g_queues.end() || it->second.empty())
        return "ok";
    std::string m = it->second.front();
    if (it->second.size() > 1)
        it->second.erase(it->second.begin());
    return m;
}
