#include "driver_log.h"

#include <sstream>

namespace wifitest {

namespace {

std::string joined(const std::vector<std::string> &v)
{
    std::string s;
    for (const auto &x : v)
        s += (s.empty() ? "" : ",") + x;
    return s;
}

std::string field(const std::string &word, const std::string &key)
{
    return word.rfind(key + "=", 0) == 0 ? word.substr(key.size() + 1) : std::string();
}

} // namespace

Bytes hex(const std::string &text)
{
    Bytes b;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return b;
}

testsupport::Result Driver::run(const std::string &program, const std::vector<std::string> &args)
{
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    testsupport::RunOptions o;
    o.env = {std::string("LD_PRELOAD=") + WIFI_DRIVER_SIM,
             "ASAN_OPTIONS=verify_asan_link_order=0",
             "HOST_WIFI_DRIVER_IFACES=" + ifaces_,
             "HOST_WIFI_DRIVER_LOG=" + dir_.file("driver.log"),
             "HOST_WIFI_DRIVER_GET=" + joined(gets_),
             "HOST_WIFI_DRIVER_FAIL=" + joined(fails_)};
    return testsupport::run(argv, o);
}

DriverLog Driver::log() const
{
    DriverLog log;
    std::istringstream in(testsupport::read_file(dir_.file("driver.log")));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name, flags, length, data, result;
        words >> name >> flags >> length >> data >> result;
        if (name == "exit") {
            log.open_sockets = std::stoi(field(flags, "open_sockets"));
            continue;
        }
        OidRequest r;
        r.ifname = name;
        r.flags = static_cast<unsigned>(std::stoul(field(flags, "flags"), nullptr, 16));
        r.length = std::stoul(field(length, "length"));
        r.null_data = field(data, "data") == "null";
        if (!r.null_data)
            r.data = hex(field(data, "data"));
        r.result = field(result, "result");
        log.requests.push_back(r);
    }
    return log;
}

std::string ctl_help()
{
    return "==== qx_wifi_ctl help =====\n"
           "  CMD:              vendorie  [dev] {QXE(TYPE+LEN+OUI...) | 0}\n"
           "  CMD:        vendorie_clean  [dev]\n"
           "  CMD:                showie  [dev]\n"
           "  CMD:        vsie_proberesp  [dev] {VIE|0}\n"
           "  CMD:          vsie_proberx  [dev] {OUI|0}\n"
           "  CMD:             busy_time  [dev]\n"
           "  CMD:               uci_get  \n"
           "  CMD:              uci2mesh  \n"
           "  CMD:              devcheck  [ifname] [brname] [check times]\n"
           "\n";
}

} // namespace wifitest
