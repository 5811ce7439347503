// Changing and committing packages: the bytes a commit writes, changes
// kept in the save dir between contexts, and commits racing readers and
// other writers.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "uci_fixture.h"

using ucitest::Ctx;
using ucitest::Store;

namespace {

int set(Ctx &c, const std::string &path)
{
    uci_ptr ptr{};
    int r = c.lookup(path, ptr);
    return r ? r : uci_set(c, &ptr);
}

int commit(Ctx &c, const char *pkg)
{
    uci_package *p = uci_lookup_package(c, pkg);
    return uci_commit(c, &p, false);
}

// Forked processes, killed and reaped by PID whatever the test's outcome.
class Forks {
public:
    ~Forks()
    {
        for (pid_t p : pids_) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
    }
    template <class F> void start(F body)
    {
        pid_t p = fork();
        if (p == 0)
            _exit(body());
        ASSERT_GT(p, 0);
        pids_.push_back(p);
    }
    // Exit statuses in start order; -1 for one that did not exit in time.
    std::vector<int> wait(int timeout_s)
    {
        std::vector<int> out;
        for (pid_t p : pids_) {
            int st = 0;
            pid_t r = 0;
            for (int i = 0; (r = waitpid(p, &st, WNOHANG)) == 0 && i < timeout_s * 100; i++)
                usleep(10000);
            if (r != p) {
                kill(p, SIGKILL);
                waitpid(p, &st, 0);
                out.push_back(-1);
            } else {
                out.push_back(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
            }
        }
        pids_.clear();
        return out;
    }

private:
    std::vector<pid_t> pids_;
};

} // namespace

// The exact form the router's commit writes: a leading blank line, a
// blank line before each section, tabs, single quotes with ' as '\''.
TEST(UciCommit, WritesTheRouterFormatByteForByte)
{
    Store st;
    st.put("ovimar", "# setup\nconfig server 'server'\n  option domain \"example.net\"\n"
                     "config https 'https'\n\toption port 443\n");
    Ctx c(st);
    uci_package *p = c.load("ovimar");
    ASSERT_NE(p, nullptr);
    uci_section *anon = nullptr;
    ASSERT_EQ(uci_add_section(c, p, "rule", &anon), UCI_OK);
    std::string anon_opt = std::string("ovimar.") + anon->e.name + ".note=it's \"x\" \\ #1";
    EXPECT_EQ(set(c, anon_opt), UCI_OK);
    EXPECT_EQ(set(c, "ovimar.status=status"), UCI_OK);
    EXPECT_EQ(set(c, "ovimar.status.devId=dev 1"), UCI_OK);
    uci_ptr ptr{};
    ASSERT_EQ(c.lookup("ovimar.status.hosts=a", ptr), UCI_OK);
    ASSERT_EQ(uci_add_list(c, &ptr), UCI_OK);
    ASSERT_EQ(c.lookup("ovimar.status.hosts=b'c", ptr), UCI_OK);
    ASSERT_EQ(uci_add_list(c, &ptr), UCI_OK);
    ASSERT_EQ(commit(c, "ovimar"), UCI_OK) << c.error();

    EXPECT_EQ(st.read("ovimar"),
              "\nconfig server 'server'\n"
              "\toption domain 'example.net'\n"
              "\nconfig https 'https'\n"
              "\toption port '443'\n"
              "\nconfig rule\n"
              "\toption note 'it'\\''s \"x\" \\ #1'\n"
              "\nconfig status 'status'\n"
              "\toption devId 'dev 1'\n"
              "\tlist hosts 'a'\n"
              "\tlist hosts 'b'\\''c'\n"
              "\n");
    uci_package *empty = nullptr;
    st.put("empty", "# nothing\n");
    Ctx c2(st);
    empty = c2.load("empty");
    // Without saved changes the router's overwrite writes nothing.
    ASSERT_EQ(uci_commit(c2, &empty, true), UCI_OK);
    EXPECT_EQ(st.read("empty"), "# nothing\n");
}

TEST(UciCommit, AWrittenFileReadsBackTheSame)
{
    const std::vector<std::string> values = {
        "it's",       "say \"hi\"", "back\\slash", "#hash",  "semi;colon", "two\nlines",
        "\ttab",      " lead",      "trail ",      "'",      "''\\'",      "caf\xc3\xa9",
        "a=b.c", "$(x) `y` ${z}",
    };
    Store st;
    st.put("rt", "config t 's'\n");
    {
        Ctx c(st);
        ASSERT_NE(c.load("rt"), nullptr);
        for (size_t i = 0; i < values.size(); i++) {
            uci_ptr ptr{};
            ASSERT_EQ(c.lookup("rt.s.o" + std::to_string(i), ptr), UCI_OK);
            ptr.value = values[i].c_str();
            ASSERT_EQ(uci_set(c, &ptr), UCI_OK);
            ASSERT_EQ(c.lookup("rt.s.l", ptr), UCI_OK);
            ptr.value = values[i].c_str();
            ASSERT_EQ(uci_add_list(c, &ptr), UCI_OK);
        }
        ASSERT_EQ(commit(c, "rt"), UCI_OK);
    }
    Ctx c(st);
    std::string items;
    for (size_t i = 0; i < values.size(); i++) {
        EXPECT_EQ(c.get("rt.s.o" + std::to_string(i)), values[i]);
        items += (i ? "|" : "") + values[i];
    }
    EXPECT_EQ(c.get("rt.s.l"), items);

    // Writing what was read changes nothing.
    std::string first = st.read("rt");
    uci_package *p = uci_lookup_package(c, "rt");
    ASSERT_EQ(uci_commit(c, &p, true), UCI_OK);
    EXPECT_EQ(st.read("rt"), first);
}

// What the agent does to store its credentials.
TEST(UciCommit, SetCreatesASectionOfAType)
{
    Store st;
    st.put("ovimar", "config mqtt 'mqtt'\n\toption default_qos '1'\n");
    Ctx c(st);
    uci_package *p = c.load("ovimar");
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(uci_lookup_section(c, p, "status"), nullptr);

    uci_ptr ptr{};
    ptr.p = p;
    ptr.section = "status";
    ptr.value = "status";
    ASSERT_EQ(uci_set(c, &ptr), UCI_OK);
    ASSERT_NE(ptr.s, nullptr);
    EXPECT_EQ(ptr.last, &ptr.s->e);
    EXPECT_FALSE(ptr.s->anonymous);
    uci_section *s = ptr.s;
    const char *const kv[][2] = {{"devId", "D1"}, {"secret", "S1"}};
    for (const auto &opt : kv) {
        uci_ptr o{};
        o.p = p;
        o.s = s;
        o.option = opt[0];
        o.value = opt[1];
        ASSERT_EQ(uci_set(c, &o), UCI_OK);
    }
    ASSERT_EQ(uci_commit(c, &p, false), UCI_OK);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(st.read("ovimar"), "\nconfig mqtt 'mqtt'\n\toption default_qos '1'\n"
                                 "\nconfig status 'status'\n\toption devId 'D1'\n"
                                 "\toption secret 'S1'\n\n");
    EXPECT_EQ(st.saved("ovimar"), "");

    // Setting a section's type again changes only the type.
    EXPECT_EQ(set(c, "ovimar.status=creds"), UCI_OK);
    EXPECT_EQ(c.get("ovimar.status.devId"), "D1");
    // No option outside a section, no section of a bad type or name.
    EXPECT_EQ(set(c, "ovimar.nosuch.x=1"), UCI_ERR_INVAL);
    EXPECT_EQ(set(c, "ovimar.new=bad type"), UCI_ERR_INVAL);
    EXPECT_EQ(set(c, "ovimar.@mqtt[5]=mqtt"), UCI_ERR_INVAL);
    EXPECT_EQ(set(c, "ovimar.status.devId"), UCI_ERR_INVAL);  // no value
}

TEST(UciCommit, DeleteAndListEdits)
{
    Store st;
    st.put("z", "config t 'a'\n\toption keep 1\n\toption gone 2\n\toption one x\n"
                "\tlist l p\n\tlist l q\n\tlist l p\n\toption after 3\nconfig t 'b'\n");
    Ctx c(st);
    ASSERT_NE(c.load("z"), nullptr);

    uci_ptr ptr{};
    // A missing section or option: nothing to delete, nothing changes.
    ASSERT_EQ(c.lookup("z.nosuch", ptr), UCI_OK);
    EXPECT_FALSE(ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE);
    EXPECT_EQ(uci_delete(c, &ptr), UCI_ERR_NOTFOUND);
    ASSERT_EQ(c.lookup("z.a.nosuch", ptr), UCI_OK);
    EXPECT_EQ(uci_delete(c, &ptr), UCI_ERR_NOTFOUND);

    // A pointer filled by hand: the section alone locates the package,
    // and a missing option never widens the delete to the section.
    uci_ptr hand{};
    hand.s = uci_lookup_section(c, uci_lookup_package(c, "z"), "a");
    hand.option = "nosuch";
    EXPECT_EQ(uci_delete(c, &hand), UCI_ERR_NOTFOUND);
    hand.flags = static_cast<decltype(hand.flags)>(uci_ptr::UCI_LOOKUP_DONE |
                                                   uci_ptr::UCI_LOOKUP_COMPLETE);
    EXPECT_EQ(uci_delete(c, &hand), UCI_ERR_NOTFOUND);
    EXPECT_EQ(c.get("z.a"), "t");

    ASSERT_EQ(c.lookup("z.a.gone", ptr), UCI_OK);
    ASSERT_EQ(uci_delete(c, &ptr), UCI_OK);
    EXPECT_EQ(ptr.o, nullptr);
    ASSERT_EQ(c.lookup("z.b", ptr), UCI_OK);
    ASSERT_EQ(uci_delete(c, &ptr), UCI_OK);
    EXPECT_EQ(set(c, "z.a.keep="), UCI_OK);  // an empty value deletes
    // A string joins a list as its first item; a changed option moves
    // to the end of its section, as on the router.
    ASSERT_EQ(c.lookup("z.a.one=y", ptr), UCI_OK);
    ASSERT_EQ(uci_add_list(c, &ptr), UCI_OK);
    ASSERT_EQ(c.lookup("z.a.l=p", ptr), UCI_OK);
    ASSERT_EQ(uci_del_list(c, &ptr), UCI_OK);
    ASSERT_EQ(c.lookup("z.a.after=1", ptr), UCI_OK);
    ASSERT_EQ(uci_add_list(c, &ptr), UCI_OK);
    EXPECT_EQ(set(c, "z.a.after=back to string"), UCI_OK);
    ASSERT_EQ(commit(c, "z"), UCI_OK);

    EXPECT_EQ(st.read("z"), "\nconfig t 'a'\n\tlist l 'q'\n\tlist one 'x'\n\tlist one 'y'\n"
                            "\toption after 'back to string'\n\n");
}

TEST(UciCommit, RenameAndIndexedListDelete)
{
    Store st;
    st.put("r", "config t\n\tlist l a\n\tlist l b\n\tlist l c\n");
    Ctx c(st);
    ASSERT_NE(c.load("r"), nullptr);
    uci_ptr ptr{};
    ASSERT_EQ(c.lookup("r.@t[0].l=1", ptr), UCI_OK);
    ASSERT_EQ(uci_delete(c, &ptr), UCI_OK);
    EXPECT_EQ(c.get("r.@t[0].l"), "a|c");
    ASSERT_EQ(c.lookup("r.@t[0]=named", ptr), UCI_OK);
    ASSERT_EQ(uci_rename(c, &ptr), UCI_OK);
    ASSERT_EQ(c.lookup("r.named.l=m", ptr), UCI_OK);
    ASSERT_EQ(uci_rename(c, &ptr), UCI_OK);
    ASSERT_EQ(commit(c, "r"), UCI_OK);
    EXPECT_EQ(st.read("r"), "\nconfig t 'named'\n\tlist m 'a'\n\tlist m 'c'\n\n");
}

// The save dir carries changes between contexts (and processes) in the
// router's line format, and a commit applies them exactly once.
TEST(UciCommit, SavedChangesReachAnotherContext)
{
    Store st;
    st.put("p", "config t 'a'\n\toption x 1\n\tlist l one\nconfig u\n");
    {
        Ctx c(st);
        uci_package *p = c.load("p");
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(set(c, "p.a.x=it's"), UCI_OK);
        uci_ptr ptr{};
        ASSERT_EQ(c.lookup("p.a.l=two", ptr), UCI_OK);
        ASSERT_EQ(uci_add_list(c, &ptr), UCI_OK);
        ASSERT_EQ(c.lookup("p.@u[0]", ptr), UCI_OK);
        ASSERT_EQ(uci_delete(c, &ptr), UCI_OK);
        uci_section *s = nullptr;
        ASSERT_EQ(uci_add_section(c, p, "v", &s), UCI_OK);
        EXPECT_EQ(set(c, std::string("p.") + s->e.name + ".y=2"), UCI_OK);
        ASSERT_EQ(uci_save(c, p), UCI_OK);
        EXPECT_TRUE(uci_list_empty(&p->delta));
    }
    EXPECT_EQ(st.saved("p"), "p.a.x='it'\\''s'\n|p.a.l='two'\n-p.cfg02b61a\n"
                             "+p.cfg03b61b='v'\np.cfg03b61b.y='2'\n");
    EXPECT_EQ(st.read("p"), "config t 'a'\n\toption x 1\n\tlist l one\nconfig u\n");

    {
        // Uncommitted changes are visible to a reader.
        Ctx c(st);
        EXPECT_EQ(c.get("p.a.x"), "it's");
        EXPECT_EQ(c.get("p.a.l"), "one|two");
        EXPECT_EQ(c.get("p.@v[0].y"), "2");
        EXPECT_EQ(c.get("p.@u[0]"), "<none>");
        uci_package *p = uci_lookup_package(c, "p");
        int n = 0;
        uci_element *e;
        uci_foreach_element(&p->saved_delta, e)
            n++;
        EXPECT_EQ(n, 5);
        ASSERT_EQ(uci_commit(c, &p, false), UCI_OK);
    }
    EXPECT_EQ(st.read("p"), "\nconfig t 'a'\n\tlist l 'one'\n\tlist l 'two'\n"
                            "\toption x 'it'\\''s'\n\nconfig v\n\toption y '2'\n\n");
    EXPECT_EQ(st.saved("p"), "");
    Ctx c(st);
    EXPECT_EQ(c.get("p.a.l"), "one|two");
}

TEST(UciCommit, CommitWithoutChangesKeepsTheFile)
{
    Store st;
    const std::string text = "# hand written\nconfig t 'a'   # here\n\toption x \"1\"\n";
    st.put("k", text);
    Ctx c(st);
    ASSERT_NE(c.load("k"), nullptr);
    EXPECT_EQ(set(c, "k.a.x=1"), UCI_OK);  // the same value: no change
    ASSERT_EQ(commit(c, "k"), UCI_OK);
    EXPECT_EQ(st.read("k"), text);
}

// A commit starts from the file as it is, so commits of different options
// by different contexts all land.
TEST(UciCommit, CommitsMergeWithOtherWriters)
{
    Store st;
    st.put("m", "config t 's'\n");
    Ctx a(st), b(st);
    ASSERT_NE(a.load("m"), nullptr);
    ASSERT_NE(b.load("m"), nullptr);
    EXPECT_EQ(set(a, "m.s.x=1"), UCI_OK);
    EXPECT_EQ(set(b, "m.s.y=2"), UCI_OK);
    ASSERT_EQ(commit(a, "m"), UCI_OK);
    ASSERT_EQ(commit(b, "m"), UCI_OK);
    EXPECT_EQ(st.read("m"), "\nconfig t 's'\n\toption x '1'\n\toption y '2'\n\n");
    EXPECT_EQ(b.get("m.s.x"), "1");  // the reloaded package
}

TEST(UciCommit, CorruptFileIsRefusedAndKept)
{
    Store st;
    st.put("c", "config t 's'\n\toption x 1\n");
    Ctx c(st);
    ASSERT_NE(c.load("c"), nullptr);
    EXPECT_EQ(set(c, "c.s.x=2"), UCI_OK);
    uci_package *p = uci_lookup_package(c, "c");
    ASSERT_EQ(uci_save(c, p), UCI_OK);

    const std::string broken = "config t 's'\n\toption x '1\n";
    st.put("c", broken);
    EXPECT_EQ(uci_commit(c, &p, false), UCI_ERR_PARSE);
    EXPECT_EQ(c.error(), "Parse error (EOF with unterminated ') at line 2, byte 13");
    EXPECT_EQ(st.read("c"), broken);
    EXPECT_EQ(st.saved("c"), "c.s.x='2'\n");  // the change waits for a fix
    EXPECT_EQ(p, uci_lookup_package(c, "c"));
    EXPECT_EQ(c.get("c.s.x"), "2");

    st.put("c", "config t 's'\n\toption x 1\n");
    ASSERT_EQ(uci_commit(c, &p, false), UCI_OK);
    EXPECT_EQ(st.read("c"), "\nconfig t 's'\n\toption x '2'\n\n");
}

TEST(UciCommit, KeepsModeAndSymlinks)
{
    Store st;
    st.put("real", "config t 's'\n");
    chmod(st.file("real").c_str(), 0640);
    ASSERT_EQ(symlink("real", st.file("link").c_str()), 0);
    Ctx c(st);
    ASSERT_NE(c.load("link"), nullptr);
    EXPECT_EQ(set(c, "link.s.x=1"), UCI_OK);
    ASSERT_EQ(commit(c, "link"), UCI_OK);
    struct stat sb{};
    ASSERT_EQ(lstat(st.file("link").c_str(), &sb), 0);
    EXPECT_TRUE(S_ISLNK(sb.st_mode));
    ASSERT_EQ(stat(st.file("real").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0640u);
    EXPECT_EQ(st.read("real"), "\nconfig t 's'\n\toption x '1'\n\n");
}

TEST(UciCommit, ErrorTexts)
{
    Store st;
    Ctx c(st);
    uci_package *p = nullptr;
    EXPECT_EQ(uci_load(c, "none", &p), UCI_ERR_NOTFOUND);
    EXPECT_EQ(c.error("uci"), "uci: Entry not found");
    c->err = UCI_ERR_INVAL;
    EXPECT_EQ(c.error("uci"), "uci: Invalid argument");
    c->err = 99;
    EXPECT_EQ(c.error(), "Unknown error");
    EXPECT_EQ(uci_commit(c, &p, false), UCI_ERR_INVAL);
}

// Readers in other processes load the package while it is committed over
// and over; every load must see one whole version.
TEST(UciCommit, ReadersNeverSeeAPartialFile)
{
    Store st;
    auto version = [](int gen) {
        std::string t = "config t 's'\n\toption head '" + std::to_string(gen) + "'\n";
        for (int i = 0; i < 200; i++)
            t += "\tlist pad 'padding padding padding " + std::to_string(gen) + "'\n";
        return t + "\toption tail '" + std::to_string(gen) + "'\n";
    };
    st.put("race", version(0));
    const std::string stop = st.conf() + "/../stop";

    Forks readers;
    for (int r = 0; r < 2; r++) {
        readers.start([&] {
            int loads = 0;
            while (access(stop.c_str(), F_OK) != 0 || loads < 10) {
                Ctx c(st);
                uci_package *p = nullptr;
                if (uci_load(c, "race", &p) != UCI_OK)
                    return 1;
                std::string head = c.get("race.s.head");
                std::string pad = c.get("race.s.pad");
                if (head != c.get("race.s.tail") || std::count(pad.begin(), pad.end(), '|') != 199)
                    return 2;
                loads++;
            }
            return 0;
        });
    }
    Ctx w(st);
    for (int gen = 1; gen <= 60; gen++) {
        uci_package *p = nullptr;
        ASSERT_EQ(uci_load(w, "race", &p), UCI_OK);
        ASSERT_EQ(set(w, "race.s.head=" + std::to_string(gen)), UCI_OK);
        ASSERT_EQ(set(w, "race.s.tail=" + std::to_string(gen)), UCI_OK);
        uci_ptr ptr{};
        ASSERT_EQ(w.lookup("race.s.pad", ptr), UCI_OK);
        ASSERT_EQ(uci_delete(w, &ptr), UCI_OK);
        for (int i = 0; i < 200; i++) {
            ASSERT_EQ(w.lookup("race.s.pad=padding padding padding " + std::to_string(gen), ptr),
                      UCI_OK);
            ASSERT_EQ(uci_add_list(w, &ptr), UCI_OK);
        }
        ASSERT_EQ(uci_commit(w, &p, false), UCI_OK);
        ASSERT_EQ(uci_unload(w, p), UCI_OK);
    }
    testsupport::write_file(stop, "");
    EXPECT_EQ(readers.wait(30), (std::vector<int>{0, 0}));
    EXPECT_EQ(Ctx(st).get("race.s.head"), "60");
}

// Two processes commit their own option 100 times each; the file's lock
// and the reload before each write keep every commit of both.
TEST(UciCommit, ConcurrentWritersLoseNothing)
{
    Store st;
    st.put("w", "config t 's'\n");
    Forks writers;
    for (const char *opt : {"a", "b"}) {
        writers.start([&st, opt] {
            for (int i = 1; i <= 100; i++) {
                Ctx c(st);
                uci_package *p = nullptr;
                uci_ptr ptr{};
                std::string path = std::string("w.s.") + opt + "=" + std::to_string(i);
                if (uci_load(c, "w", &p) || c.lookup(path, ptr) || uci_set(c, &ptr) ||
                    uci_commit(c, &p, false))
                    return 1;
            }
            return 0;
        });
    }
    EXPECT_EQ(writers.wait(60), (std::vector<int>{0, 0}));
    Ctx c(st);
    EXPECT_EQ(c.get("w.s.a"), "100");
    EXPECT_EQ(c.get("w.s.b"), "100");
}
