// The exported C functions: each opens its own channel and closes it.
#include "swport.h"

#include <linux/netlink.h>
#include <sys/socket.h>

#include <cstring>

#include "fd.h"
#include "nl.h"

namespace {

constexpr char kWanFile[] = "/proc/wand_port";

int open_channel(swport::Fd &s)
{
    s.fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
    if (s.fd < 0)
        return -1;
    sockaddr_nl a{};
    a.nl_family = AF_NETLINK;
    if (bind(s.fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) < 0)
        return -2;
    return swport::channel_ready(s.fd);
}

int dump(uint8_t cmd, size_t entry_len, int max, void *out)
{
    swport::Fd s;
    int r = open_channel(s);
    return r < 0 ? r : swport::read_list(s.fd, cmd, entry_len, max, out);
}

} // namespace

extern "C" {

int get_fdb(void *entries, int max) { return dump(0, SWPORT_FDB_ENTRY_SIZE, max, entries); }
int get_vlan(void *entries, int max) { return dump(1, SWPORT_VLAN_ENTRY_SIZE, max, entries); }
int get_pvid(void *entries) { return dump(2, SWPORT_PVID_ENTRY_SIZE, SWPORT_MAX_PVID, entries); }
int get_port(void *entries) { return dump(4, SWPORT_PORT_ENTRY_SIZE, SWPORT_MAX_PORT, entries); }

int get_wan(void) { return swport::wan_read(kWanFile); }
int set_wan(int port) { return swport::wan_write(kWanFile, port); }

int set_wan_lan(int wan, int lan0, int lan1, int lan2, int lan3)
{
    const int32_t vals[5] = {wan, lan0, lan1, lan2, lan3};
    int r;
    {
        swport::Fd s;
        r = open_channel(s);
        if (r < 0)
            return r;
        r = swport::send_wan_lan(s.fd, vals);
    }
    return r == 0 ? set_wan(wan) : r;
}

int sw_find_port(const unsigned char *mac)
{
    swport::Fd s;
    int r = open_channel(s);
    return r < 0 ? r : swport::find_port(s.fd, mac);
}

} // extern "C"
