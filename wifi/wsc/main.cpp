// wsc_profile_tool: reads the credential from the command line, prints it
// and hands it to the driver.
#include <net/if.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wsc_profile.h"

namespace {

constexpr size_t IFNAME_MAX = 14;
constexpr size_t MAC_TEXT_MAX = 17;
constexpr size_t ACTION_MAX = 15;
constexpr int FULL_ARGC = 17; // eight options, each with its value
constexpr const char *ACTION_WSC = "wsc_pro";

struct wsc_args {
    char ifname[IFNAME_MAX + 1];
    char bssid[MAC_TEXT_MAX + 1];
    char action[ACTION_MAX + 1];
    wsc_profile profile;
};

template <size_t N> void copy_cut(char (&dst)[N], const char *src, size_t max)
{
    size_t n = strnlen(src, max < N ? max : N - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

int set_ifname(wsc_args &a, const char *v)
{
    copy_cut(a.ifname, v, IFNAME_MAX);
    return 0;
}

int set_ssid(wsc_args &a, const char *v)
{
    copy_cut(a.profile.cred.ssid, v, WSC_SSID_LEN - 1);
    return 0;
}

int set_auth(wsc_args &a, const char *v)
{
    a.profile.cred.auth = static_cast<uint16_t>(atoi(v));
    return 0;
}

int set_encr(wsc_args &a, const char *v)
{
    a.profile.cred.encr = static_cast<uint16_t>(atoi(v));
    return 0;
}

int set_key(wsc_args &a, const char *v)
{
    copy_cut(a.profile.cred.key, v, WSC_KEY_LEN - 1);
    return 0;
}

// Checked as typed: a cut copy would let anything after a valid address
// through.
int set_bssid(wsc_args &a, const char *v)
{
    if (wsc_mac_is_valid(v) != 0) {
        puts("input macaddr is invalid !!!");
        return -1;
    }
    copy_cut(a.bssid, v, MAC_TEXT_MAX);
    return 0;
}

int set_role(wsc_args &a, const char *v)
{
    a.profile.cred.role = static_cast<uint8_t>(atoi(v));
    return 0;
}

int set_action(wsc_args &a, const char *v)
{
    copy_cut(a.action, v, ACTION_MAX);
    return 0;
}

struct wsc_opt {
    int letter;
    const char *echo;
    int (*set)(wsc_args &, const char *);
};

constexpr wsc_opt opts[] = {
    {'i', "Ifname: %s\n", set_ifname},
    {'s', "Backhaul Ssid: %s\n", set_ssid},
    {'a', "Backhaul AuthType: %s\n", set_auth},
    {'e', "Backhaul EncrType: %s\n", set_encr},
    {'k', "Backhaul Key: %s\n", set_key},
    {'b', "Backhaul Bssid: %s\n", set_bssid},
    {'r', "Backhaul Role: %s\n", set_role},
    {'o', "Op Action: %s\n", set_action},
};

void usage(const char *prog)
{
    printf("Usage: %s [options]\nOptions:\nwsc_pro:\tset bh wsc profile\n -i:\tifname\n"
           " -s:\tbackhaul Ssid\n"
           " -a:\tbackhaul AuthType (1-open, 2-wpapsk, 4-shared, 8-wpa, 16-wpa2\n"
           "\t\t32-wpa2psk, 64-sae, 128-wpanone, 256-dpp)\n"
           " -e:\tbackhaul EncrType (1-none, 2-wep, 4-tkip, 8-aes)\n"
           " -k:\tbackhaul Key\n -b:\tbackhaul Bssid\n"
           " -r:\tbackhaul role (128-bh_sta, 64-bh_bss, 32-fh_bss, 16-tear_down)\n\n",
           prog);
}

const wsc_opt *find_opt(int letter)
{
    for (const wsc_opt &o : opts)
        if (o.letter == letter)
            return &o;
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 1) {
        usage(argv[0]);
        return 1;
    }

    static wsc_args args; // zero-filled
    int c;
    // '+': the options end at the first other word, on glibc as on musl.
    while ((c = getopt(argc, argv, "+i:s:a:e:k:b:r:o:h")) != -1) {
        const wsc_opt *o = find_opt(c);
        if (!o) { // -h, an unknown option or a missing value
            usage(argv[0]);
            return 1;
        }
        printf(o->echo, optarg);
        if (o->set(args, optarg) != 0)
            return 255;
    }

    if (strcmp(args.action, ACTION_WSC) != 0) {
        printf("unknown action: %s\n", args.action);
        usage(argv[0]);
        return 1;
    }
    if (argc != FULL_ARGC) {
        usage(argv[0]);
        return 1;
    }

    wsc_profile &p = args.profile;
    p.ifindex = static_cast<int32_t>(if_nametoindex(args.ifname));
    p.cred.ssid_len = static_cast<uint32_t>(strlen(p.cred.ssid));
    p.cred.key_len = static_cast<uint16_t>(strlen(p.cred.key));
    p.cred.key_idx = 1;
    wsc_mac_to_bytes(args.bssid, p.cred.bssid, WSC_MAC_LEN);

    wsc_profile_print(p);
    return send_wapp_req(args.ifname, p, WSC_PROFILE_SIZE);
}
