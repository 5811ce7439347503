// The ubus command on both daemons, with callees of both builds: what it
// prints on standard output and error and its exit status must not depend
// on which build of the daemon, the command or the callee took part.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "cross.h"

namespace {

using namespace cross;

struct Row {
    const char *what;
    std::vector<std::string> args;
};

const Row ROWS[] = {
    {"list", {"list"}},
    {"list one", {"list", "rpeer"}},
    {"list pattern", {"list", "*peer"}},
    {"list none", {"list", "nothing*"}},
    {"list too many", {"list", "a", "b"}},
    {"verbose list", {"-v", "list", "hpeer"}},
    {"verbose simple list", {"-v", "-S", "list"}},
    {"call echo",
     {"call", "OBJ", "echo", R"({"s":"a/b","n":1.5,"b":true,"a":[1,"x",{"z":null}]})"}},
    {"call simple", {"-S", "call", "OBJ", "echo", R"({"a":{"b":[1,2]},"url":"http://x/y"})"}},
    {"call no message", {"call", "OBJ", "echo"}},
    {"call no reply data", {"call", "OBJ", "multi", R"({"n":0})"}},
    {"call several replies", {"call", "OBJ", "multi", R"({"n":3})"}},
    {"call 64-bit numbers", {"call", "OBJ", "echo", R"({"big":4294967296,"neg":-5})"}},
    {"call deferred", {"call", "OBJ", "defer", R"({"ms":50,"tag":"t"})"}},
    {"call large reply", {"-S", "call", "OBJ", "big", R"({"size":70000})"}},
    {"call failing", {"call", "OBJ", "fail", R"({"status":5})"}},
    {"call failing simple", {"-S", "call", "OBJ", "fail", R"({"status":6})"}},
    {"call failing unknown status", {"call", "OBJ", "fail", R"({"status":42})"}},
    {"call no method", {"call", "OBJ", "nosuch"}},
    {"call no object", {"call", "nosuch", "echo"}},
    {"call no object simple", {"-S", "call", "nosuch", "echo"}},
    {"call bad json", {"call", "OBJ", "echo", "{bad"}},
    {"call bad json simple", {"-S", "call", "OBJ", "echo", "{bad"}},
    {"call not an object", {"call", "OBJ", "echo", "[1]"}},
    {"call wrong type", {"call", "OBJ", "defer", R"({"ms":"x"})"}},
    {"call timed out", {"-t", "1", "call", "OBJ", "hang"}},
    {"call no time limit", {"-t", "0", "call", "OBJ", "defer", R"({"ms":20})"}},
    {"call status -1", {"call", "OBJ", "fail", R"({"status":-1})"}},
    {"call status connection failed", {"call", "OBJ", "fail", R"({"status":10})"}},
    {"call unicode and specials", {"call", "OBJ", "echo", R"({"u":"\u00e9\u0001","inf":1e400})"}},
    {"call json null", {"call", "OBJ", "echo", "null"}},
    {"call json trailing", {"call", "OBJ", "echo", R"({"a":1} x)"}},
    {"call json nested deep", {"-S", "call", "OBJ", "echo", R"({"a":{"b":{"c":{"d":[[[[1]]]]}}}})"}},
    {"call empty object name", {"call", "", "echo"}},
    {"call empty method", {"call", "OBJ", ""}},
    {"very verbose list", {"-v", "-v", "list", "rpeer"}},
    {"no daemon", {"-s", "/nonexistent/ubus.sock", "list"}},
    {"no daemon simple", {"-S", "-s", "/nonexistent/ubus.sock", "call", "a", "b"}},
    {"call too few", {"call", "OBJ"}},
    {"call too many", {"call", "OBJ", "echo", "{}", "x"}},
    {"send", {"send", "some.event", R"({"a":1})"}},
    {"send no message", {"send", "some.event"}},
    {"send bad json", {"send", "some.event", "nope"}},
    {"send too many", {"send", "a", "{}", "x"}},
    {"send none", {"send"}},
    {"send not an object", {"send", "some.event", "[1]"}},
    {"send empty type", {"send", ""}},
    {"wait_for present", {"wait_for", "rpeer", "hpeer"}},
    {"wait_for none", {"wait_for"}},
    {"wait_for timed out", {"-t", "1", "wait_for", "rpeer", "nothing"}},
    {"subscribe none", {"subscribe"}},
    {"subscribe none simple", {"-S", "subscribe"}},
    {"subscribe no object", {"subscribe", "nosuch"}},
    {"no command", {}},
    {"unknown command", {"frobnicate"}},
    {"bad option", {"-x", "list"}},
    {"option without value", {"-s"}},
    {"bad monitor type", {"-m", "nope", "monitor"}},
    {"bad monitor direction", {"-M", "x", "monitor"}},
};

class CommandCross : public CrossBus, public ::testing::WithParamInterface<Row> {};

TEST_P(CommandCross, SameOutputAndStatusEverywhere)
{
    const Row &row = GetParam();
    std::vector<Combo> all = combos();
    Seen want = ubus(all[0], row.args);
    for (size_t i = 1; i < all.size(); i++) {
        SCOPED_TRACE(all[i].label());
        Seen got = ubus(all[i], row.args);
        EXPECT_EQ(got.out, want.out);
        EXPECT_EQ(got.err, want.err);
        EXPECT_EQ(got.code, want.code);
    }
}

std::string row_name(const ::testing::TestParamInfo<Row> &info)
{
    std::string name;
    for (const char *p = info.param.what; *p; p++)
        name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandCross, ::testing::ValuesIn(ROWS), row_name);

} // namespace

namespace {

using namespace cross;

// The daemons' own command line and socket.
const std::vector<std::string> DAEMON_ARGS[] = {
    {"-x"},
    {"-s", "/proc/none/ubus.sock"},
};

std::string without(std::string text, const std::string &prog)
{
    for (size_t at = text.find(prog); at != std::string::npos; at = text.find(prog))
        text.replace(at, prog.size(), "ubusd");
    return text;
}

TEST(DaemonCross, UsageAndFailureToListenAsOnTheRouter)
{
    for (const auto &args : DAEMON_ARGS) {
        SCOPED_TRACE(args.back());
        std::vector<std::string> real_argv{REAL.ubusd}, host_argv{HOST.ubusd};
        real_argv.insert(real_argv.end(), args.begin(), args.end());
        host_argv.insert(host_argv.end(), args.begin(), args.end());
        auto real = testsupport::run(real_argv);
        auto host = testsupport::run(host_argv);
        EXPECT_NE(real.code, 0);
        EXPECT_EQ(without(host.err, HOST.ubusd), without(real.err, REAL.ubusd));
        EXPECT_EQ(host.out, real.out);
        EXPECT_EQ(host.code, real.code);
    }
}

using SocketCross = CrossBus;

// Open to every user, so that services running as others can connect.
TEST_F(SocketCross, TheSocketHasTheRouterDaemonsMode)
{
    struct stat real {}, host {};
    ASSERT_EQ(stat(sock(REAL).c_str(), &real), 0);
    ASSERT_EQ(stat(sock(HOST).c_str(), &host), 0);
    EXPECT_EQ(real.st_mode & 07777, 0666u);
    EXPECT_EQ(host.st_mode & 07777, real.st_mode & 07777);
}

} // namespace
