// Reading configuration files and looking elements up, as the router's
// libuci does: syntax, anonymous section names, @type[N] and errors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "uci_fixture.h"

using ucitest::Ctx;
using ucitest::Store;

namespace {

// What a router's files hold: comments, a package line, every quoting style.
const char *const NETWORK = R"(# written by hand
package network

config interface 'loopback'
	option ifname lo   # trailing comment
	option proto "static"
	option ipaddr '127.0.0.1'

config interface lan
	list dns '8.8.8.8'
	list dns 8.8.4.4
	option quote 'it'\''s'
	option dq "say \"hi\" \\ back"
	option plain a\ b
	option joined 'one'"two"three
	option hash '#not a comment'
	option multi 'line one
line two'
	option cont "first \
second"

config switch
	option name 'switch0'

config switch_vlan
	option vlan '1'
config switch_vlan
	option vlan '2' ; option ports '0 1'
config switch_vlan; option vlan 'lost'
)";

std::vector<std::string> section_names(uci_package *p)
{
    std::vector<std::string> out;
    uci_element *e;
    uci_foreach_element(&p->sections, e) {
        uci_section *s = uci_to_section(e);
        out.push_back(std::string(s->type) + ":" + e->name + (s->anonymous ? "*" : ""));
    }
    return out;
}

} // namespace

TEST(UciParse, ReadsWhatRouterFilesHold)
{
    Store st;
    st.put("network", NETWORK);
    Ctx c(st);
    uci_package *p = c.load("network");
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->e.name, "network");

    EXPECT_EQ(section_names(p),
              (std::vector<std::string>{"interface:loopback", "interface:lan", "switch:cfg033777*",
                                        "switch_vlan:cfg041ec7*", "switch_vlan:cfg051ec7*",
                                        "switch_vlan:cfg061ec7*"}));
    EXPECT_EQ(c.get("network.loopback.ifname"), "lo");
    EXPECT_EQ(c.get("network.loopback.proto"), "static");
    EXPECT_EQ(c.get("network.loopback"), "interface");
    EXPECT_EQ(c.get("network.lan.dns"), "8.8.8.8|8.8.4.4");
    EXPECT_EQ(c.get("network.lan.quote"), "it's");
    EXPECT_EQ(c.get("network.lan.dq"), "say \"hi\" \\ back");
    EXPECT_EQ(c.get("network.lan.plain"), "a b");
    EXPECT_EQ(c.get("network.lan.joined"), "onetwothree");
    EXPECT_EQ(c.get("network.lan.hash"), "#not a comment");
    EXPECT_EQ(c.get("network.lan.multi"), "line one\nline two");
    EXPECT_EQ(c.get("network.lan.cont"), "first second");
    EXPECT_EQ(c.get("network.@switch_vlan[1].vlan"), "2");
    EXPECT_EQ(c.get("network.@switch_vlan[1].ports"), "0 1");
    // A ';' touching the word before it ends the line on the router.
    EXPECT_EQ(c.get("network.@switch_vlan[2].vlan"), "<none>");
    EXPECT_EQ(c.get("network.lan.missing"), "<none>");
}

// A value pulling in many lines grows the read buffer; the words read
// before it on the statement must survive the move.
TEST(UciParse, LongMultiLineValuesKeepTheirStatement)
{
    Store st;
    std::string big;
    for (int i = 0; i < 200; i++)
        big += "line " + std::to_string(i) + "\n";
    st.put("m", "config broker 's'\n\toption address '" + big + "'\n"
                "\toption port \"" + big + "\"\n");
    Ctx c(st);
    ASSERT_NE(c.load("m"), nullptr);
    EXPECT_EQ(c.get("m.s"), "broker");
    EXPECT_EQ(c.get("m.s.address"), big);
    EXPECT_EQ(c.get("m.s.port"), big);
}

TEST(UciParse, OptionTypesAndLaterStatementsWin)
{
    Store st;
    st.put("x", "config t 's'\n\toption a 1\n\toption a 2\n\tlist l x\n\toption b ''\n"
                "\toption c 3\n\toption c ''\nconfig t 's'\n\toption d 4\n");
    Ctx c(st);
    uci_package *p = c.load("x");
    ASSERT_NE(p, nullptr);
    uci_section *s = uci_lookup_section(c, p, "s");
    ASSERT_NE(s, nullptr);
    // A repeated name continues the section.
    EXPECT_EQ(section_names(p), std::vector<std::string>{"t:s"});
    EXPECT_STREQ(uci_lookup_option_string(c, s, "a"), "2");
    EXPECT_EQ(uci_lookup_option_string(c, s, "l"), nullptr);  // a list, not a string
    EXPECT_EQ(uci_lookup_option(c, s, "l")->type, UCI_TYPE_LIST);
    // There are no empty options: '' sets nothing, or removes.
    EXPECT_EQ(uci_lookup_option(c, s, "b"), nullptr);
    EXPECT_EQ(uci_lookup_option(c, s, "c"), nullptr);
    EXPECT_EQ(c->err, UCI_ERR_NOTFOUND);
    EXPECT_STREQ(uci_lookup_option_string(c, s, "d"), "4");

    uci_element *e = nullptr;
    EXPECT_EQ(uci_lookup_next(c, &e, &s->options, "nope"), UCI_ERR_NOTFOUND);
    EXPECT_EQ(uci_lookup_next(c, &e, &s->options, "a"), UCI_OK);
    EXPECT_EQ(uci_lookup_package(c, "x"), p);

    // Of another type, it is an error on the router.
    st.put("y", "config t 's'\nconfig other 's'\n");
    EXPECT_EQ(uci_load(c, "y", &p), UCI_ERR_PARSE);
}

// Names as the router's library gives them: counter over all sections of
// the package, then a hash of the type.
TEST(UciParse, AnonymousSectionNamesMatchTheRouter)
{
    Store st;
    st.put("system", "config system\n\toption hostname 'OpenWrt'\n");
    st.put("firewall", "config defaults\nconfig zone\n\toption name lan\nconfig zone\n"
                       "\toption name wan\nconfig forwarding\nconfig rule\n");
    st.put("wireless", "config wifi-device 'radio0'\nconfig wifi-device 'radio1'\n"
                       "config wifi-iface\nconfig wifi-iface 'named'\nconfig wifi-iface\n");
    Ctx c(st);
    uci_package *sys = c.load("system");
    uci_package *fw = c.load("firewall");
    uci_package *wl = c.load("wireless");
    ASSERT_TRUE(sys && fw && wl);
    EXPECT_EQ(section_names(sys), std::vector<std::string>{"system:cfg01e48a*"});
    EXPECT_EQ(section_names(fw),
              (std::vector<std::string>{"defaults:cfg01e63d*", "zone:cfg02dc81*", "zone:cfg03dc81*",
                                        "forwarding:cfg04ad58*", "rule:cfg0592bd*"}));
    EXPECT_EQ(section_names(wl),
              (std::vector<std::string>{"wifi-device:radio0", "wifi-device:radio1",
                                        "wifi-iface:cfg033579*", "wifi-iface:named",
                                        "wifi-iface:cfg053579*"}));

    uci_section *s = nullptr;
    ASSERT_EQ(uci_add_section(c, wl, "wifi-iface", &s), UCI_OK);
    EXPECT_STREQ(s->e.name, "cfg063579");
    EXPECT_TRUE(s->anonymous);
    EXPECT_STREQ(s->type, "wifi-iface");
    EXPECT_EQ(uci_add_section(c, wl, "bad type", &s), UCI_ERR_INVAL);
}

TEST(UciParse, ExtendedLookups)
{
    Store st;
    st.put("wireless", "config wifi-device 'radio0'\n\toption band '2G'\n"
                       "config wifi-iface\n\toption ssid a\n"
                       "config wifi-device 'radio1'\n"
                       "config wifi-iface 'guest'\n\toption ssid b\n"
                       "config wifi-iface\n\toption ssid c\n");
    Ctx c(st);
    EXPECT_EQ(c.get("wireless.@wifi-iface[0].ssid"), "a");
    EXPECT_EQ(c.get("wireless.@wifi-iface[1].ssid"), "b");
    EXPECT_EQ(c.get("wireless.@wifi-iface[2].ssid"), "c");
    EXPECT_EQ(c.get("wireless.@wifi-iface[-1].ssid"), "c");
    EXPECT_EQ(c.get("wireless.@wifi-iface[-3].ssid"), "a");
    EXPECT_EQ(c.get("wireless.@wifi-iface[3].ssid"), "<none>");
    EXPECT_EQ(c.get("wireless.@wifi-iface[-4]"), "<none>");
    EXPECT_EQ(c.get("wireless.@[1].band"), "<none>");
    EXPECT_EQ(c.get("wireless.@[0].band"), "2G");
    EXPECT_EQ(c.get("wireless.@wifi-device[-1]"), "wifi-device");
    EXPECT_EQ(c.get("wireless.@nosuch[0]"), "<none>");

    // The pointer then names the section by its real name, so a change
    // is recorded against it.
    uci_ptr ptr{};
    ASSERT_EQ(c.lookup("wireless.@wifi-iface[2].ssid", ptr), UCI_OK);
    EXPECT_STREQ(ptr.section, "cfg053579");
    EXPECT_STREQ(ptr.s->e.name, "cfg053579");
    EXPECT_EQ(ptr.last, &ptr.o->e);

    ASSERT_EQ(c.lookup("wireless.radio0", ptr), UCI_OK);
    EXPECT_TRUE(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE);
    EXPECT_EQ(ptr.o, nullptr);
    ASSERT_EQ(c.lookup("wireless", ptr), UCI_OK);
    EXPECT_EQ(ptr.last, &ptr.p->e);
    EXPECT_EQ(ptr.s, nullptr);
}

TEST(UciParse, BadPathsAreRefused)
{
    Store st;
    st.put("w", "config t 'a'\n\toption o 1\n");
    Ctx c(st);
    uci_ptr ptr{};
    EXPECT_EQ(c.lookup("w.@t[0]", ptr, false), UCI_ERR_INVAL);  // extended off
    for (const char *bad : {"w.@t[x]", "w.@t[0", "w.@t[]", "w.@t[0]x", "w.a-b"})
        EXPECT_EQ(c.lookup(bad, ptr), UCI_ERR_INVAL) << bad;
    for (const char *bad : {"w.a.o.x", "", ".a", "w.a.o-x", "../etc/passwd.a", "w.a.o=\x01"})
        EXPECT_EQ(c.lookup(bad, ptr), UCI_ERR_PARSE) << bad;
    EXPECT_EQ(c.lookup("nosuch.a", ptr), UCI_ERR_NOTFOUND);
    EXPECT_EQ(c.error("uci"), "uci: Entry not found");

    ASSERT_EQ(c.lookup("w.a.o=new value", ptr), UCI_OK);
    EXPECT_STREQ(ptr.value, "new value");
    EXPECT_STREQ(ptr.option, "o");
}

TEST(UciParse, MalformedFilesGiveLineAndReason)
{
    struct Case {
        const char *text;
        const char *error;
    };
    // The router's texts and positions: the byte is where its reader
    // stood, 0-based, when it gave up.
    const Case cases[] = {
        {"config t 'a'\n\toption x 'open\n", "Parse error (EOF with unterminated ') at line 2, byte 16"},
        {"config t 'a'\n\toption x \"open\n", "Parse error (EOF with unterminated \") at line 2, byte 16"},
        {"config t 'a'\n\toptoin x y\n", "Parse error (invalid command) at line 2, byte 1"},
        {"\n\n  option x y\n", "Parse error (option/list command found before the first section) "
                               "at line 3, byte 2"},
        {"config t 'a-b'\n", "Parse error (invalid character in name field) at line 1, byte 15"},
        {"config t 'a'\n\toption x-y 1\n", "Parse error (invalid character in name field) at line "
                                          "2, byte 12"},
        {"config t 'a' 'b'\n", "Parse error (too many arguments) at line 1, byte 17"},
        {"config\n", "Parse error (invalid command) at line 1, byte 0"},
    };
    for (const Case &k : cases) {
        Store st;
        st.put("bad", k.text);
        Ctx c(st);
        uci_package *p = reinterpret_cast<uci_package *>(1);
        EXPECT_EQ(uci_load(c, "bad", &p), UCI_ERR_PARSE) << k.text;
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(c.error(), k.error) << k.text;
        // Nothing half-loaded stays behind; a later load fails the same way.
        EXPECT_EQ(uci_lookup_package(c, "bad"), nullptr);
        uci_ptr ptr{};
        EXPECT_EQ(c.lookup("bad.a.x", ptr), UCI_ERR_PARSE);
        EXPECT_EQ(st.read("bad"), k.text);
    }
}

TEST(UciParse, LoadAndUnload)
{
    Store st;
    st.put("a", "config t 's'\n");
    Ctx c(st);
    uci_package *p = c.load("a");
    ASSERT_NE(p, nullptr);
    uci_package *again = nullptr;
    EXPECT_EQ(uci_load(c, "a", &again), UCI_ERR_DUPLICATE);
    EXPECT_EQ(uci_unload(c, p), UCI_OK);
    EXPECT_EQ(uci_lookup_package(c, "a"), nullptr);
    EXPECT_NE(c.load("a"), nullptr);

    EXPECT_EQ(uci_load(c, "missing", &p), UCI_ERR_NOTFOUND);
    EXPECT_EQ(uci_load(c, "../a", &p), UCI_ERR_INVAL);
    EXPECT_EQ(uci_load(c, ".hidden", &p), UCI_ERR_INVAL);

    char **list = nullptr;
    st.put("b", "");
    st.put(".b.uci-123456", "config t\n");  // a commit's leftover
    ASSERT_EQ(uci_list_configs(c, &list), UCI_OK);
    std::vector<std::string> names;
    for (char **n = list; *n; n++)
        names.emplace_back(*n);
    free(list);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
}

TEST(UciParse, DefaultDirsComeFromTheHostSeams)
{
    unsetenv("HOST_UCI_CONFDIR");
    unsetenv("HOST_UCI_SAVEDIR");
    uci_context *c = uci_alloc_context();
    EXPECT_STREQ(c->confdir, "/etc/config");
    EXPECT_STREQ(c->savedir, "/tmp/.uci");
    uci_free_context(c);

    Store st;
    st.put("seam", "config t 'found'\n");
    setenv("HOST_UCI_CONFDIR", st.conf().c_str(), 1);
    setenv("HOST_UCI_SAVEDIR", st.save().c_str(), 1);
    c = uci_alloc_context();
    unsetenv("HOST_UCI_CONFDIR");
    unsetenv("HOST_UCI_SAVEDIR");
    EXPECT_EQ(c->confdir, st.conf());
    EXPECT_EQ(c->savedir, st.save());
    uci_package *p = nullptr;
    EXPECT_EQ(uci_load(c, "seam", &p), UCI_OK);
    uci_free_context(c);
}
