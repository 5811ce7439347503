// The host uci command and libuci against the router's own, built from
// their sources: the same command lines (or library calls, through
// uci_api_probe) on copies of the same files, compared on standard output,
// standard error, exit status and every file left in the configuration
// and save folders, with its mode.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "proc.h"

namespace {

using Files = std::vector<std::pair<const char *, const char *>>;

struct Case {
    const char *name;
    Files files;
    // Shell lines run in order in the case's folder: $C is the
    // configuration folder, $S the save folder; "probe: " lines go to the
    // library probe instead.
    std::vector<const char *> lines;
};

const char *const WIRELESS = "config wifi-device 'radio0'\n\toption band '2G'\n"
                             "config wifi-iface\n\toption device radio0\n\toption ssid 'Home AP'\n"
                             "\tlist maclist 'aa'\n\tlist maclist 'b b'\n\tlist maclist \"it's\"\n"
                             "config wifi-iface 'guest'\n\toption ssid x\nconfig wifi-iface\n";
const char *const ODD = "# hand written\npackage net\n\nconfig interface 'lan'\n"
                        "\toption a \"x'y\"\n\toption b 'it'\\''s'\n\toption c a\\ b\n"
                        "\toption d \"say \\\"hi\\\" \\\\ back\"\n\toption e 'one'\"two\"three\n"
                        "\toption f '#h;s' # comment\n\toption m 'l1\nl2'\n"
                        "\toption g \"first \\\nsecond\"\n\tlist dns 1 ; list dns '2 3'\n"
                        "config x; option lost 1\nc t\n o k v\n l k2 w\n";

#define U "uci -c $C -t $S "

const Case CASES[] = {
    {"get_show_lists", {{"wireless", WIRELESS}},
     {U "get wireless.@wifi-iface[0].maclist", U "-d , get wireless.@wifi-iface[0].maclist",
      U "get wireless.@wifi-iface[0].ssid", U "get wireless.radio0", U "get wireless",
      U "show wireless", U "-X show wireless", U "show wireless.@wifi-iface[-1]",
      U "-d , show wireless", U "-d , show wireless.@wifi-iface[0].maclist",
      U "show wireless.@wifi-iface[0].maclist", U "get wireless.@wifi-iface[0].ssid -q",
      U "SHOW wireless.guest", U "export wireless", U "-N export wireless"}},
    {"errors_and_statuses", {{"wireless", WIRELESS}},
     {"uci", "uci -Z", "uci -L", "uci frobnicate", "uci help", U "get", U "get a b",
      U "get wireless.radio0.nope", U "get wireless.nope", U "get nosuch.a.b",
      U "get wireless.a.b.c", U "get wireless.@wifi-iface[x]", U "get wireless.radio0.band=1",
      U "-q get wireless.nope", U "set wireless.nosuch.opt=1", U "set wireless.radio0.band",
      U "delete wireless.nosuch", U "delete wireless.@wifi-iface[0].maclist=x",
      U "add nosuch t", U "add wireless", U "commit wireless extra", U "export nosuch",
      U "show nosuch", U "reorder wireless.nope=1", U "reorder wireless.radio0",
      U "revert wireless.radio0.band=1", "uci -c $C/none -t $S show"}},
    {"changes_after_edits", {{"wireless", WIRELESS}},
     {U "delete wireless.@wifi-iface[0].maclist=1", U "delete wireless.guest.ssid",
      U "add_list wireless.radio0.band=5G", U "del_list wireless.@wifi-iface[0].maclist=aa",
      U "set wireless.radio0.band=it's", U "rename wireless.guest=g2", U "add wireless t",
      U "ren wireless.@t[-1].x=y", U "reorder wireless.g2=0", U "set wireless.radio0=dev",
      U "delete wireless.@wifi-iface[0].maclist=5", U "delete wireless.@wifi-iface[0].maclist=",
      U "set wireless.radio0.nope=", U "set wireless.nope=",
      U "changes", U "changes wireless.radio0", U "show wireless", U "commit wireless",
      U "changes"}},
    {"revert", {{"p", "config t 'a'\n\toption x 1\n\tlist l p\nconfig u\n\toption n 1\n"}},
     {U "set p.a.x=2", U "set p.a.y=3", U "delete p.@u[0]", U "revert p.a.x", U "changes",
      U "revert p.@u[0]", U "changes", U "revert p", U "changes", U "revert nosuch",
      U "revert p"}},
    {"save_dirs", {{"p", "config t 'a'\n\toption x 1\n"}},
     {"mkdir P && " "uci -c $C -P $S/../P set p.a.x=2", "uci -c $C -P $S/../P changes",
      "uci -c $C -P $S/../P commit p", U "get p.a.x", U "set p.a.z=3",
      U "-p P changes", U "-p P get p.a.x", U "-p P commit p",
      U "changes", "uci -c $C -P $S/../nested/dir set p.a.y=1", "uci -c $C -p P -p P get p.a.x"}},
    {"modes_under_umask", {{"open", "config t 'a'\n"}, {"shut", "config t 'a'\n"}},
     {"chmod 640 $C/shut && umask 077 && " U "set open.a.x=1",
      "umask 002 && " U "set shut.a.x=1", "umask 022 && " U "commit"}},
    {"commit_odd_quoting", {{"net", ODD}},
     {U "show net", U "set net.lan.a=1", U "add_list net.lan.c=x", U "commit net"}},
    {"odd_entries", {{"ok", "config t a\n"}},
     {"mkdir $C/adir && ln -s /nonexistent $C/dangling && ln -s ok $C/link", U "show adir",
      U "show dangling", U "show", U "show .hidden", U "set link.a.x=1", U "commit link",
      "test -L $C/link", U "export"}},
    {"parse_errors",
     {{"q1", "config t 'a'\n\toption x 'open\nmore\n"}, {"q2", "config t 'a'\n\toptoin x y\n"},
      {"q3", "\n  option x y\n"}, {"q4", "config t 'a-b'\n"}, {"q5", "config t 'a' 'b'\n"},
      {"q6", "config t 'a'\n\toption x 1 2\n"}, {"q7", "config t 'a'\nconfig u 'a'\n"},
      {"q8", "config 'ty pe' a\n"}},
     {U "show q1", U "show q2", U "show q3", U "show q4", U "show q5", U "show q6", U "show q7",
      U "show q8", U "-S show q7", U "show"}},
    {"parse_quirks",
     {{"r1", "config t a; option lost 1\nconfig t b\n\tlist l x ;list m y\n\tlist n 1 ;\n"},
      {"r2", "config t a ; option x y\n"}, {"r3", "config\tt\ta\n\toption\tx\t'y';option z w\n"},
      {"r4", "c t a\n o x y\n l z ''\n p foo\n\toption q \"a\\\nb\" c\n"},
      {"r5", "config t a\r\n\toption x y\r\n # c\n\t\n"}, {"r6", "config t a\noption x y"},
      {"r7", "config t\nconfig t\nconfig t a\nconfig t\n\toption x 'a'#b\n"}},
     {U "show r1", U "show r2", U "show r3", U "show r4", U "show r5", U "show r6", U "show r7",
      U "-S show r2", U "set r7.a.y=1", U "commit"}},
    // Change files as another program (or an older uci) may leave them.
    {"foreign_changes", {{"p", "config t 'a'\n\tlist l p\nconfig u\nconfig u 'named'\n"}},
     {"mkdir -p $S && printf \"p.a.x='9' \\np.a.y=1\\n+p.cfg1234=\\n-p.a.l='zz'\\n"
      "^p.named='0'\\n@p.a=b-c\\n|p.a.l=q\\np.a.m='two\\nlines'\\nq.x.y=1\\n"
      "p.@u[0].n=2\\n+p.n2='u'\\np.n2.k=v;p.n2.j=w\\n\\n  \\n-p.nope\\n\" > $S/p",
      U "changes", U "show p", U "revert p.a.m", U "commit p", U "changes"}},
    {"batch_and_import", {{"p", "config t 'a'\n\toption x 1\n"}},
     {"printf \"set p.a.y='v w'\\nadd_list p.a.l=q\\nshow p.a\\nget p.a.nope\\nfrob\\n"
      "add p u\\nset p.a.z=1 extra words\\n\\nset p.a.m='two\\nlines'\\nexit\\n"
      "set p.a.never=1\\n\" > in && " U "batch < in",
      "printf 'set p.a.q=\"x\\\\\\ny\"\\nset p.a.r=1;set p.a.s=2\\nset  p.a.t=3 ; get p.a.t\\n"
      " get p.a.q\\nset p.a.u=\\x27open\\n' | " U "batch",
      U "changes", U "-f in batch", U "-f in -f in batch",
      "printf 'config t s\\n\\toption a b\\n' | " U "import newp",
      "printf 'package x1\\nconfig t s\\npackage x2\\nconfig u v\\n' | " U "import",
      "printf 'config t a\\n\\toption x 1\\n\\toption q 2\\nconfig t new\\n' | " U "-m import p",
      // No pipe into a run that reads nothing: the writer's error would race.
      U "changes p", U "-m import < in",
      "printf 'config t a\\n\\toption\\n' | " U "import zz"}},
    // What the agent and qx_wifi_ctl do through the library.
    {"api_agent", {{"ovimar", "config mqtt 'mqtt'\n\toption default_qos '1'\nconfig t 's'\n"}},
     {"probe: load ovimar", "probe: lookup ovimar.status", "probe: set ovimar.status=status",
      "probe: set ovimar.status.devId=D1", "probe: set ovimar.status.secret=it's",
      "probe: commit ovimar", "probe: dump ovimar", "probe: lookup ovimar.s.nope",
      "probe: delete ovimar.s.nope", "probe: delete ovimar.s", "probe: commit ovimar",
      "probe: new", "probe: load nosuch", "probe: load ovimar",
      "probe: lookup ovimar.@mqtt[0].default_qos", "probe: lookupx ovimar.@mqtt[0]",
      "probe: lookup ovimar.a.b.c", "probe: lookup ovimar.a-b", "probe: set ovimar.nosuch.x=1",
      "probe: set ovimar.status.devId", "probe: dump ovimar",
      "probe: fill ovimar creds creds", "probe: fill ovimar creds devId D2",
      "probe: fill ovimar creds devId D2", "probe: fill ovimar mqtt default_qos 2",
      "probe: next ovimar mqtt default_qos", "probe: next ovimar mqtt nope", "probe: save ovimar",
      "probe: dump ovimar",
      // Last: after it the router's error texts keep a stale parse position.
      "probe: load ovimar"}},
    {"api_edits", {{"z", "config t 'a'\n\toption keep 1\n\toption gone 2\n\toption one x\n"
                         "\tlist l p\n\tlist l q\n\tlist l p\n\toption after 3\n"
                         "config t 'b'\nconfig u\n\toption n 1\n"}},
     {"probe: load z", "probe: delete z.a.gone", "probe: delete z.b", "probe: set z.a.keep=",
      "probe: add_list z.a.one=y", "probe: del_list z.a.l=p", "probe: add_list z.a.after=1",
      "probe: set z.a.after=back", "probe: delete z.a.one=1x", "probe: delete z.a.one=-1",
      "probe: dump z", "probe: save z", "probe: dump z", "probe: add z v",
      "probe: rename z.@u[0]=named", "probe: rename z.a.after=keep", "probe: reorder z.named 0",
      "probe: dump z", "probe: commit z", "probe: dump z", "probe: new", "probe: load z",
      "probe: dump z", "probe: revert z.named", "probe: overwrite z", "probe: set z.a.x=1",
      "probe: save z", "probe: overwrite z"}},
};

#undef U

std::string mode_of(const std::string &path)
{
    struct stat st{};
    if (stat(path.c_str(), &st) != 0)
        return "?";
    char buf[16];
    snprintf(buf, sizeof(buf), "%o", st.st_mode & 07777);
    return buf;
}

// Every file below dir, sorted, with its mode and bytes.
void list_files(const std::string &dir, const std::string &label, std::string &out)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (dirent *de = readdir(d)) {
        std::string n = de->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        std::string path = dir + "/" + n;
        struct stat st{};
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            out += "== " + label + n + "/ " + mode_of(path) + "\n";
            list_files(path, label + n + "/", out);
        } else {
            out += "== " + label + n + " " + mode_of(path) + "\n" + testsupport::read_file(path);
        }
    }
}

void replace_all(std::string &s, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
}

// The option descriptions of the usage text are worded differently on
// purpose; the command list, its syntax and the statuses are compared.
std::string without_option_prose(std::string err)
{
    size_t at = err.find("\nOptions:\n");
    if (at == std::string::npos)
        return err;
    size_t end = err.find("\n\n", at + 10);
    return err.substr(0, at) + "\n[options]" + (end == std::string::npos ? "" : err.substr(end + 1));
}

// One run of a case with uci (a folder holding it) and the probe given.
std::string transcript(const Case &k, const std::string &bin_dir, const std::string &probe)
{
    testsupport::TempDir w;
    std::string conf = w.file("config"), save = w.file("save");
    mkdir(conf.c_str(), 0755);
    for (const auto &f : k.files)
        testsupport::write_file(conf + "/" + f.first, f.second);
    testsupport::RunOptions o;
    // The host's defaults point at empty folders, as the router's are here.
    o.env = {"C=" + conf, "S=" + save, "PATH=" + bin_dir + ":/usr/bin:/bin",
             "HOST_UCI_CONFDIR=" + w.file("default-config"),
             "HOST_UCI_SAVEDIR=" + w.file("default-save")};
    std::string out, steps;
    auto run_probe = [&] {
        if (steps.empty())
            return;
        testsupport::RunOptions po = o;
        po.input = steps;
        testsupport::Result r = testsupport::run({probe, conf, save}, po);
        out += r.out + r.err + "[status " + std::to_string(r.code) + "]\n";
        steps.clear();
    };
    for (const char *line : k.lines) {
        std::string l = line;
        if (l.rfind("probe: ", 0) == 0) {
            steps += l.substr(7) + "\n";
            continue;
        }
        run_probe();
        testsupport::Result r = testsupport::run({"/bin/sh", "-c", "cd " + w.path() + " && " + l}, o);
        out += "$ " + l + "\n" + r.out + "[stderr]\n" + without_option_prose(r.err) +
               "[status " + std::to_string(r.code) + "]\n";
    }
    run_probe();
    list_files(conf, "config/", out);
    list_files(save, "save/", out);
    replace_all(out, w.path(), "W");
    return out;
}

void PrintTo(const Case &k, std::ostream *os)
{
    *os << k.name;
}

class UciCompare : public ::testing::TestWithParam<Case> {};

// The router's uci always reads its default save dir too.
bool default_save_dir_empty()
{
    DIR *d = opendir("/tmp/.uci");
    if (!d)
        return true;
    int n = 0;
    while (dirent *de = readdir(d))
        n += de->d_name[0] != '.';
    closedir(d);
    return n == 0;
}

TEST_P(UciCompare, HostBehavesLikeTheRouter)
{
    if (!default_save_dir_empty())
        GTEST_SKIP() << "/tmp/.uci holds changes the router's uci would read in";
    // The router's uci found on PATH as "uci", like the host's.
    testsupport::TempDir real_bin;
    ASSERT_EQ(symlink(REAL_UCI, real_bin.file("uci").c_str()), 0);
    std::string real = transcript(GetParam(), real_bin.path(), PROBE_REAL);
    std::string host = transcript(GetParam(), HOST_BIN_DIR, PROBE_HOST);
    EXPECT_EQ(host, real);
}

INSTANTIATE_TEST_SUITE_P(Cases, UciCompare, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<Case> &i) { return i.param.name; });

} // namespace
