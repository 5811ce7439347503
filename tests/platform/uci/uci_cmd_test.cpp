// The uci command, run as a program the way scripts and the agent run it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "proc.h"
#include "uci_fixture.h"

using testsupport::Result;
using ucitest::Store;

namespace {

class UciCmd : public ::testing::Test {
protected:
    Result uci(std::vector<std::string> args, const std::string &shell = "")
    {
        testsupport::RunOptions o;
        o.env = {"HOST_UCI_CONFDIR=" + st.conf(), "HOST_UCI_SAVEDIR=" + st.save(),
                 std::string("PATH=") + HOST_BIN_DIR + ":/usr/bin:/bin"};
        if (!shell.empty())
            return testsupport::run({"/bin/sh", "-c", shell}, o);
        // Found on PATH, as scripts run it: messages start with argv[0].
        args.insert(args.begin(), {"/bin/sh", "-c", "exec uci \"$@\"", "uci"});
        return testsupport::run(args, o);
    }

    void expect_out(const Result &r, const std::string &out)
    {
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, out);
    }

    void expect_error(const Result &r, const std::string &err)
    {
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err);
    }

    Store st;
};

const char *const WIRELESS = "config wifi-device 'radio0'\n\toption band '2G'\n"
                             "config wifi-iface\n\toption device radio0\n\toption ssid 'Home AP'\n"
                             "\tlist maclist 'aa'\n\tlist maclist 'bb'\n"
                             "config wifi-iface\n\toption ssid \"it's\"\n";

} // namespace

TEST_F(UciCmd, GetPrintsValuesListsAndTypes)
{
    st.put("wireless", WIRELESS);
    expect_out(uci({"get", "wireless.radio0.band"}), "2G\n");
    expect_out(uci({"get", "wireless.radio0"}), "wifi-device\n");
    expect_out(uci({"get", "wireless.@wifi-iface[0].ssid"}), "Home AP\n");
    expect_out(uci({"get", "wireless.@wifi-iface[-1].ssid"}), "it's\n");
    expect_out(uci({"get", "wireless.@wifi-iface[0].maclist"}), "aa bb\n");
    expect_out(uci({"-d", ",", "get", "wireless.@wifi-iface[0].maclist"}), "aa,bb\n");
    expect_out(uci({"get", "wireless.cfg023579.device"}), "radio0\n");
}

TEST_F(UciCmd, MissingEntriesAndBadArguments)
{
    st.put("wireless", WIRELESS);
    for (const char *path : {"wireless.radio0.nope", "wireless.radio9", "nosuch.a.b",
                             "wireless.@wifi-iface[2].ssid"})
        expect_error(uci({"get", path}), "uci: Entry not found\n");
    expect_error(uci({"delete", "wireless.nosuch"}), "uci: Entry not found\n");
    Result q = uci({"-q", "get", "wireless.radio0.nope"});
    EXPECT_EQ(q.code, 1);
    EXPECT_EQ(q.err, "");

    expect_error(uci({"set", "wireless.nosuch.opt=1"}), "uci: Invalid argument\n");
    expect_error(uci({"set", "wireless.radio0.band"}), "uci: Invalid argument\n");
    expect_error(uci({"get", "wireless.@wifi-iface[x]"}), "uci: Invalid argument\n");
    expect_error(uci({"get", "wireless.a.b.c"}), "uci: Parse error\n");
    // add fails with the library's error code as its status.
    Result add = uci({"add", "wireless", "bad type"});
    EXPECT_EQ(add.code, UCI_ERR_INVAL);
    EXPECT_EQ(add.err, "uci: Invalid argument\n");
    EXPECT_EQ(uci({"frobnicate"}).code, 255);
    EXPECT_EQ(uci({"get"}).code, 255);
    EXPECT_EQ(st.saved("wireless"), "");
}

// The agent's connection counter: a set and a commit as two programs,
// through the shell, exactly as it formats them.
TEST_F(UciCmd, SetInOneProcessCommitInAnother)
{
    st.put("ovimar", "config mqtt_connect 'mqtt_connect'\n\toption connected_times '0'\n");
    expect_out(uci({}, "uci set ovimar.mqtt_connect.connected_times='3' "), "");
    EXPECT_EQ(st.read("ovimar"), "config mqtt_connect 'mqtt_connect'\n\toption connected_times '0'\n");
    expect_out(uci({"get", "ovimar.mqtt_connect.connected_times"}), "3\n");
    expect_out(uci({"changes"}), "ovimar.mqtt_connect.connected_times='3'\n");

    expect_out(uci({}, "uci commit ovimar"), "");
    EXPECT_EQ(st.read("ovimar"),
              "\nconfig mqtt_connect 'mqtt_connect'\n\toption connected_times '3'\n\n");
    expect_out(uci({"changes", "ovimar"}), "");
    EXPECT_EQ(st.saved("ovimar"), "");
}

TEST_F(UciCmd, AddShowExportAndCommitAll)
{
    st.put("fw", "config defaults\n\toption input 'ACCEPT'\nconfig zone 'lan'\n");
    st.put("other", "config t 'x'\n");
    expect_out(uci({"add", "fw", "rule"}), "cfg03" "92bd\n");
    expect_out(uci({"set", "fw.@rule[-1].name=it's"}), "");
    expect_out(uci({"add_list", "fw.lan.network=lan"}), "");
    expect_out(uci({"add_list", "fw.lan.network=guest"}), "");
    expect_out(uci({"set", "other.x.y=1"}), "");
    expect_out(uci({"changes", "fw"}), "fw.cfg0392bd='rule'\nfw.cfg0392bd.name='it'\\''s'\n"
                                       "fw.lan.network+='lan'\nfw.lan.network+='guest'\n");

    expect_out(uci({"show", "fw"}), "fw.@defaults[0]=defaults\nfw.@defaults[0].input='ACCEPT'\n"
                                    "fw.lan=zone\nfw.lan.network='lan' 'guest'\n"
                                    "fw.@rule[0]=rule\nfw.@rule[0].name='it'\\''s'\n");
    expect_out(uci({"-X", "show", "fw.@rule[0]"}),
               "fw.cfg0392bd=rule\nfw.cfg0392bd.name='it'\\''s'\n");
    expect_out(uci({"show", "fw.lan.network"}), "fw.lan.network='lan' 'guest'\n");
    expect_out(uci({"export", "fw"}), "package fw\n\nconfig defaults\n\toption input 'ACCEPT'\n\n"
                                      "config zone 'lan'\n\tlist network 'lan'\n"
                                      "\tlist network 'guest'\n\nconfig rule\n"
                                      "\toption name 'it'\\''s'\n\n");

    expect_out(uci({"commit"}), "");
    EXPECT_EQ(st.read("other"), "\nconfig t 'x'\n\toption y '1'\n\n");
    EXPECT_EQ(st.read("fw"), "\nconfig defaults\n\toption input 'ACCEPT'\n\nconfig zone 'lan'\n"
                             "\tlist network 'lan'\n\tlist network 'guest'\n\nconfig rule\n"
                             "\toption name 'it'\\''s'\n\n");

    expect_out(uci({"del_list", "fw.lan.network=lan"}), "");
    expect_out(uci({"delete", "fw.@defaults[0]"}), "");
    expect_out(uci({"rename", "fw.@rule[0]=r1"}), "");
    expect_out(uci({"commit", "fw"}), "");
    EXPECT_EQ(st.read("fw"), "\nconfig zone 'lan'\n\tlist network 'guest'\n\n"
                             "config rule 'r1'\n\toption name 'it'\\''s'\n\n");
}

TEST_F(UciCmd, SetCreatesSectionsAndOptionsTakePrecedence)
{
    st.put("ovimar", "");
    testsupport::TempDir other;
    expect_out(uci({"set", "ovimar.status=status"}), "");
    expect_out(uci({"set", "ovimar.status.devId=abc"}), "");
    expect_out(uci({"commit", "ovimar"}), "");
    EXPECT_EQ(st.read("ovimar"), "\nconfig status 'status'\n\toption devId 'abc'\n\n");

    // -c and -P win over the environment.
    testsupport::write_file(other.file("ovimar"), "config t 'elsewhere'\n");
    expect_out(uci({"-c", other.path(), "-P", other.file("save"), "set", "ovimar.elsewhere.x=1"}),
               "");
    EXPECT_EQ(testsupport::read_file(other.file("save/ovimar")), "ovimar.elsewhere.x='1'\n");
    EXPECT_EQ(st.saved("ovimar"), "");
    expect_error(uci({"set", "newpkg.s=t"}), "uci: Entry not found\n");
}

TEST_F(UciCmd, CorruptFileIsReportedAndLeftAlone)
{
    const std::string broken = "config t 's'\n\toption a 1\n\toption b 'unterminated\n";
    st.put("bad", broken);
    const std::string err = "uci: Parse error (EOF with unterminated ') at line 3, byte 24\n";
    expect_error(uci({"get", "bad.s.a"}), err);
    expect_error(uci({"set", "bad.s.a=2"}), err);
    expect_error(uci({"commit", "bad"}), err);
    expect_error(uci({"show", "bad"}), err);
    EXPECT_EQ(st.read("bad"), broken);

    // The other packages still show and commit, and on the router the
    // command then succeeds.
    st.put("good", "config t 'g'\n");
    expect_out(uci({"set", "good.g.x=1"}), "");
    Result all = uci({"commit"});
    EXPECT_EQ(all.code, 0);
    EXPECT_EQ(all.err, err);
    EXPECT_EQ(st.read("good"), "\nconfig t 'g'\n\toption x '1'\n\n");
    EXPECT_EQ(st.read("bad"), broken);
}

// As on the router (checked there with a private /tmp), the default save
// dir stays a source of changes when -t or -P names another: its changes
// are seen and committed, but only the named folder's file is emptied.
TEST_F(UciCmd, DefaultSaveDirIsStillRead)
{
    st.put("p", "config t 'a'\n\toption x '1'\n");
    ASSERT_EQ(mkdir(st.save().c_str(), 0700), 0);
    testsupport::write_file(st.save() + "/p", "p.a.x='default'\n");
    testsupport::TempDir other;
    expect_out(uci({"-t", other.path(), "get", "p.a.x"}), "default\n");
    expect_out(uci({"-P", other.path(), "set", "p.a.y=2"}), "");
    expect_out(uci({"-P", other.path(), "changes", "p"}), "p.a.x='default'\np.a.y='2'\n");
    expect_out(uci({"-t", other.path(), "commit", "p"}), "");
    EXPECT_EQ(st.read("p"), "\nconfig t 'a'\n\toption x 'default'\n\toption y '2'\n\n");
    EXPECT_EQ(st.saved("p"), "p.a.x='default'\n");
    EXPECT_EQ(testsupport::read_file(other.file("p")), "");
}
