// devcheck: keeps an interface up and in its bridge for a number of seconds.
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <linux/if_bridge.h>
#include <linux/sockios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "qx_wifi_ctl.h"
#include "sock.h"

namespace {

constexpr int BR_SLOTS = 32;
constexpr size_t CMD_LEN = 512;

char found_bridge[IFNAMSIZ];

template <size_t N> void copy_ifname(char (&dst)[N], const char *name)
{
    memcpy(dst, name, strnlen(name, N));
}

// The names end up in shell commands: only what the kernel would call an
// ordinary interface name gets there.
bool valid_ifname(std::string_view name)
{
    if (name.empty() || name.size() >= IFNAMSIZ)
        return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

bool refuse_name(const char *what, const char *name)
{
    if (valid_ifname(name))
        return false;
    printf("devcheck: invalid %s name(%s): need 1 to %d letters, digits, '.', '-' or '_'\n",
           what, name, IFNAMSIZ - 1);
    return true;
}

void run_cmd(const char *fmt, const char *a, const char *b = nullptr)
{
    char cmd[CMD_LEN] = {};
    snprintf(cmd, sizeof(cmd), fmt, a, b);
    // Our own lines come before whatever the command prints.
    fflush(stdout);
    int rc = system(cmd);
    (void)rc;
}

} // namespace

int is_dev_downup(const char *ifname)
{
    if (!ifname) {
        printf("%s(%d):NULL paramater!\n", "is_dev_downup", 347);
        return -1;
    }
    ifreq ifr{};
    copy_ifname(ifr.ifr_name, ifname);
    qx_sock sock(socket(AF_INET, SOCK_DGRAM, 0));
    if (sock.fd < 0) {
        printf("%s(%d):socket error!\n", "is_dev_downup", 355);
        return -1;
    }
    if (ioctl(sock.fd, SIOCGIFFLAGS, &ifr) < 0)
        return -1;
    return (ifr.ifr_flags & IFF_UP) ? 1 : 0;
}

const char *find_bridge_of(const char *ifname)
{
    qx_sock sock(socket(AF_INET, SOCK_DGRAM, 0));
    if (sock.fd < 0) {
        printf("ioctl socket create failed! errno=%d!\n", errno);
        return nullptr;
    }
    int bridges[BR_SLOTS] = {};
    unsigned long args[4] = {BRCTL_GET_BRIDGES, reinterpret_cast<unsigned long>(bridges),
                             BR_SLOTS, 0};
    int nbr = ioctl(sock.fd, SIOCGIFBR, args);
    if (nbr > BR_SLOTS)
        nbr = BR_SLOTS;

    for (int i = 0; i < nbr; i++) {
        if (!if_indextoname(static_cast<unsigned>(bridges[i]), found_bridge)) {
            printf("Can't get brname by idx(%d)\n", bridges[i]);
            return nullptr;
        }
        int ports[BR_SLOTS] = {};
        unsigned long pargs[4] = {BRCTL_GET_PORT_LIST, reinterpret_cast<unsigned long>(ports),
                                  BR_SLOTS, 0};
        ifreq ifr{};
        copy_ifname(ifr.ifr_name, found_bridge);
        ifr.ifr_data = reinterpret_cast<char *>(pargs);
        ioctl(sock.fd, SIOCDEVPRIVATE, &ifr);

        for (int port : ports) {
            if (!port)
                continue;
            char name[IFNAMSIZ];
            if (!if_indextoname(static_cast<unsigned>(port), name)) {
                printf("Can't get brname by idx(%d)\n", port);
                return nullptr;
            }
            if (strcmp(name, ifname) == 0)
                return found_bridge;
        }
    }
    return nullptr;
}

int qx_wifi_agrv_devcheck(int argc, char **argv)
{
    if (argc < 3) {
        qx_wifi_print_help();
        return -1;
    }
    const char *ifname = argv[0];
    const char *brname = argv[1];
    if (refuse_name("interface", ifname) || refuse_name("bridge", brname))
        return -1;

    auto count = static_cast<uint8_t>(atoi(argv[2]));
    int check_br = strncmp(brname, "br", 2) == 0;
    printf("====ifname(%s) brname(%s) count(%d) check_br(%d)\n", ifname, brname, count,
           check_br);

    for (unsigned pass = 0; pass < count; pass++) {
        sleep(1);
        if (is_dev_downup(ifname) == 0)
            run_cmd("ifconfig %s up", ifname);
        if (!check_br)
            continue;
        const char *cur = find_bridge_of(ifname);
        if (cur && strcmp(cur, brname) == 0)
            continue;
        if (cur)
            run_cmd("brctl delif %s %s", cur, ifname);
        run_cmd("brctl addif %s %s", brname, ifname);
    }
    return 0;
}
