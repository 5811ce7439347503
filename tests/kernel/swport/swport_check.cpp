// libswport against the stand-in switch driver and wanport_helper in a real
// kernel: all eight functions, the awkward answers, and the missing family.
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "check.h"
#include "swport.h"

namespace {

constexpr const char *kSim = "/sys/kernel/debug/mt753x/";


void sim_put(const std::string &file, const std::string &data)
{
    std::string path = std::string(kSim) + file;
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
        printf("FAIL writing %s: %s\n", path.c_str(), strerror(errno));
    if (fd >= 0)
        close(fd);
}

std::string sim_get(const std::string &file)
{
    std::string path = std::string(kSim) + file;
    char buf[128] = {};
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "(missing)";
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    return std::string(buf, n > 0 ? n : 0);
}

// One attribute as the kernel lays it out: length, type, payload, padding.
std::string attr(uint16_t type, const std::string &payload)
{
    uint16_t len = static_cast<uint16_t>(payload.size() + 4);
    std::string a(reinterpret_cast<const char *>(&len), 2);
    a.append(reinterpret_cast<const char *>(&type), 2);
    a += payload;
    a.append((4 - a.size() % 4) % 4, '\0');
    return a;
}

std::string bytes(size_t n, uint8_t first)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += static_cast<char>(first + i);
    return s;
}

std::string fdb_entry(const char mac[6], int16_t port)
{
    std::string e(mac, 6);
    uint16_t v = 1;
    e.append(reinterpret_cast<const char *>(&v), 2);
    e.append(reinterpret_cast<const char *>(&port), 2);
    return e;
}

int open_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d))
        n++;
    if (d)
        closedir(d);
    return n;
}

void wan_file_without_helper()
{
    check_int(get_wan(), -2, "get_wan without wanport_helper");
    check_int(set_wan(1), -1, "set_wan without wanport_helper");
}

void wan_file()
{
    check_int(get_wan(), -1, "get_wan right after load: none set");
    check_int(set_wan(2), 0, "set_wan 2");
    check_int(get_wan(), 2, "get_wan reads 2");
    check_int(set_wan(4), -1, "set_wan 4 refused");
    check_int(set_wan(-2), -1, "set_wan -2 refused");
    check_int(get_wan(), 2, "refused set_wan leaves 2");
    check_int(set_wan(-1), 0, "set_wan -1");
    check_int(get_wan(), -1, "get_wan reads -1 again");
}

void lists()
{
    uint8_t buf[512];
    std::string fdb = attr(1, bytes(10, 0x10)) + attr(1, bytes(10, 0x20)) + attr(1, bytes(10, 0x30));
    sim_put("fdb", fdb);
    memset(buf, 0xee, sizeof(buf));
    check_int(get_fdb(buf, 16), 3, "get_fdb copies the three entries");
    check(memcmp(buf, (bytes(10, 0x10) + bytes(10, 0x20) + bytes(10, 0x30)).data(), 30) == 0 &&
              buf[30] == 0xee,
          "get_fdb entries packed back to back, nothing more");
    memset(buf, 0xee, sizeof(buf));
    check_int(get_fdb(buf, 2), 2, "get_fdb stops at the caller's maximum");
    check(buf[20] == 0xee, "get_fdb writes no further than the maximum");
    check_int(get_fdb(buf, 0), 0, "get_fdb with maximum 0 and a right-sized first entry");

    sim_put("fdb", attr(1, bytes(9, 0x10)) + attr(1, bytes(10, 0x20)));
    check_int(get_fdb(buf, 0), -100, "get_fdb with maximum 0 and a wrong-sized first entry");
    sim_put("fdb", attr(1, bytes(10, 0x10)) + attr(1, bytes(11, 0x20)));
    check_int(get_fdb(buf, 16), -100, "get_fdb with a wrong-sized second entry");

    // Two whole entries, then a header that claims more than follows.
    std::string truncated = attr(1, bytes(10, 0x10)) + attr(1, bytes(10, 0x20)) +
                            attr(1, bytes(10, 0x30)).substr(0, 8);
    sim_put("fdb", truncated);
    check_int(get_fdb(buf, 16), 2, "get_fdb before a truncated attribute");
    sim_put("fdb", "");
    check_int(get_fdb(buf, 16), 0, "get_fdb on an empty table");

    sim_put("vlan", attr(1, bytes(6, 1)) + attr(7, bytes(6, 9)));
    memset(buf, 0xee, sizeof(buf));
    check_int(get_vlan(buf, 8), 2, "get_vlan: two entries, whatever their types");
    check(memcmp(buf, (bytes(6, 1) + bytes(6, 9)).data(), 12) == 0, "get_vlan entries");
    check_int(get_vlan(buf, -1), 0, "get_vlan with a negative maximum copies nothing");

    std::string pvid;
    for (int i = 0; i < 9; i++)
        pvid += attr(1, bytes(4, static_cast<uint8_t>(i * 4)));
    sim_put("pvid", pvid);
    memset(buf, 0xee, sizeof(buf));
    check_int(get_pvid(buf), 7, "get_pvid of 9 entries returns 7");
    check(memcmp(buf, bytes(28, 0).data(), 28) == 0 && buf[28] == 0xee,
          "get_pvid fills exactly 28 bytes");

    std::string port;
    for (int i = 0; i < 8; i++)
        port += attr(1, bytes(16, static_cast<uint8_t>(i * 16)));
    sim_put("port", port);
    memset(buf, 0xee, sizeof(buf));
    check_int(get_port(buf), 7, "get_port of 8 records returns 7");
    check(memcmp(buf, bytes(112, 0).data(), 112) == 0 && buf[112] == 0xee,
          "get_port fills exactly 112 bytes");
    sim_put("port", attr(1, bytes(12, 0)));
    check_int(get_port(buf), -100, "get_port with a 12-byte record");
}

void wan_lan()
{
    sim_put("wan_lan_errno", "0");
    sim_put("wan_lan_chatty", "0");
    check_int(set_wan_lan(2, 10, -11, 12, 0x7fffffff), 0, "set_wan_lan acknowledged");
    check_str(sim_get("wan_lan").c_str(), "2 10 -11 12 2147483647\n",
              "the driver got the five values in order");
    check_int(get_wan(), 2, "acknowledged set_wan_lan records the WAN port");

    check_int(set_wan_lan(5, 0, 0, 0, 0), -1, "acknowledged WAN port 5: the file refuses it");
    check_int(get_wan(), 2, "refused WAN port leaves 2");

    sim_put("wan_lan_errno", "16");
    errno = 0;
    int r = set_wan_lan(1, 0, 0, 0, 0);
    int e = errno;
    check_int(r, -25, "set_wan_lan refused by the driver");
    check_int(e, EBUSY, "errno carries the driver's error");
    check_int(get_wan(), 2, "refused set_wan_lan leaves the WAN port");
    sim_put("wan_lan_errno", "0");

    sim_put("wan_lan_chatty", "1");
    check_int(set_wan_lan(1, 0, 0, 0, 0), -124, "set_wan_lan answered by a data message");
    sim_put("wan_lan_chatty", "0");
    check_int(get_wan(), 2, "unacknowledged set_wan_lan leaves the WAN port");
}

void find()
{
    const char a[6] = {2, 0, 0, 0, 0, 0xa}, b[6] = {2, 0, 0, 0, 0, 0xb};
    const char c[6] = {2, 0, 0, 0, 0, 0xc}, d[6] = {2, 0, 0, 0, 0, 0xd};
    const char z[6] = {2, 0, 0, 0, 0, 0xf}, lo[6] = {2, 0, 0, 0, 0, 0x1};
    sim_put("fdb", attr(1, fdb_entry(a, 3)) + attr(1, fdb_entry(b, 5)) +
                       attr(1, fdb_entry(c, 6)) + attr(1, fdb_entry(lo, 4)) +
                       attr(1, fdb_entry(d, 0).substr(0, 8)));
    auto u = [](const char *m) { return reinterpret_cast<const unsigned char *>(m); };
    check_int(sw_find_port(u(a)), 3, "sw_find_port: port 3");
    check_int(sw_find_port(u(lo)), 4, "sw_find_port: port 4 is still a port");
    check_int(sw_find_port(u(b)), -1, "sw_find_port: port 5 reads as -1");
    check_int(sw_find_port(u(c)), -1, "sw_find_port: port 6 reads as -1");
    check_int(sw_find_port(u(d)), -100, "sw_find_port: an 8-byte entry");
    check_int(sw_find_port(u(z)), -123, "sw_find_port: unknown address, no attribute");
}

void missing_family()
{
    uint8_t buf[512];
    const unsigned char mac[6] = {2, 0, 0, 0, 0, 0xa};
    // r is computed before the body reads errno.
    auto expect = [](const char *what, int r) {
        int e = errno;
        check_int(r, -1025, "%s without the family", what);
        check_int(e, ENOENT, "%s: errno is the controller's ENOENT", what);
        errno = 0;
    };
    errno = 0;
    expect("get_fdb", get_fdb(buf, 4));
    expect("get_vlan", get_vlan(buf, 4));
    expect("get_pvid", get_pvid(buf));
    expect("get_port", get_port(buf));
    expect("set_wan_lan", set_wan_lan(1, 0, 0, 0, 0));
    expect("sw_find_port", sw_find_port(mac));
}

} // namespace

int main()
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int fds = open_fds();
    check_int(module_load("/lib/modules/project/mt753x_sim.ko"), 0, "stand-in switch driver loads");
    wan_file_without_helper();
    check_int(module_load("/lib/modules/project/wanport_helper.ko"), 0, "wanport_helper loads");
    wan_file();
    lists();
    wan_lan();
    find();
    check_int(module_unload("wanport_helper"), 0, "wanport_helper unloads");
    check_int(module_unload("mt753x_sim"), 0, "stand-in switch driver unloads");
    missing_family();
    check_int(get_wan(), -2, "get_wan after unload");
    check_int(open_fds(), fds, "no descriptor left open");
    return rig_failed;
}
