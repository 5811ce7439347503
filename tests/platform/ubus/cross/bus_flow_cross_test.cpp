// The ubus commands that stay on the bus (listen, subscribe, monitor) in
// every combination: what they print, that -t ends them, and how they end.
// The peer's build also picks the build of the command that sends the
// events and calls they see.
#include <sys/wait.h>

#include <sstream>
#include <string>
#include <vector>

#include "cross.h"

namespace {

using namespace cross;
using testsupport::read_file;
using testsupport::wait_for;

// A background command's result: its output and how it ended.
struct Ended {
    std::string out;
    int code = -1;  // -1: still running when it should have ended
    std::string peer;
    bool operator==(const Ended &o) const
    {
        return out == o.out && code == o.code && peer == o.peer;
    }
};

std::ostream &operator<<(std::ostream &os, const Ended &e)
{
    return os << "status " << e.code << ", output:\n" << e.out << "peer:\n" << e.peer;
}

int exit_code(int status)
{
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string how_ended(int st)
{
    if (st < 0)
        return "running";
    return WIFSIGNALED(st) ? "signal " + std::to_string(WTERMSIG(st))
                           : "exit " + std::to_string(WEXITSTATUS(st));
}

std::string without_lines(const std::string &text, const std::string &needle)
{
    std::istringstream in(text);
    std::string line, kept;
    while (std::getline(in, line))
        if (line.find(needle) == std::string::npos)
            kept += line + "\n";
    return kept;
}

// The combination's sender: the command of the peer's build.
Combo sender(const Combo &c)
{
    return Combo{c.daemon, c.peer, c.peer};
}

class FlowCross : public CrossBus {
protected:
    // Sends probe events until out shows one: the listener is registered.
    bool probe(const Combo &c, const std::string &out)
    {
        return wait_for(5000, [&] {
            ubus(sender(c), {"send", "cross.probe"});
            return read_file(out).find("cross.probe") != std::string::npos;
        });
    }

    Ended listen(const Combo &c)
    {
        std::string out = dir.file("listen.out");
        auto cmd = background(c, {"-t", "2", "listen", "cross.*"}, out);
        Ended e;
        if (!probe(c, out))
            return e;
        ubus(sender(c), {"send", "cross.event", R"({"url":"http://a/b","n":-1,"t":"a\tb"})"});
        ubus(sender(c), {"send", "other.event", R"({"n":2})"});
        ubus(sender(c), {"send", "cross.empty"});
        e.code = exit_code(cmd.wait(10000));
        e.out = neutral(without_lines(read_file(out), "cross.probe"), c, false);
        return e;
    }

    Ended subscribe(const Combo &c)
    {
        std::string out = dir.file("subscribe.out");
        size_t from = peer_log(c).size();
        auto cmd = background(c, {"-t", "2", "subscribe", "OBJ"}, out);
        Ended e;
        auto peer_says = [&](const char *what) {
            return wait_for(5000, [&] { return peer_log(c).find(what, from) != std::string::npos; });
        };
        if (!peer_says("subscribers 1"))
            return e;
        Seen called =
            ubus(sender(c), {"call", "OBJ", "notify", R"({"event":"cross.note","tag":"a/b"})"});
        e.code = exit_code(cmd.wait(10000));
        peer_says("subscribers 0");
        e.out = neutral(read_file(out), c, true) + "call: " + called.out + called.err;
        e.peer = peer_log(c).substr(from);
        return e;
    }

    Ended monitor(const Combo &c)
    {
        std::string out = dir.file("monitor.out");
        auto cmd = background(c, {"monitor"}, out);
        Ended e;
        bool up = wait_for(5000, [&] {
            ubus(sender(c), {"call", "OBJ", "echo", R"({"probe":1})"});
            return read_file(out).find("probe") != std::string::npos;
        });
        if (!up)
            return e;
        ubus(sender(c), {"call", "OBJ", "echo", R"({"mark":"a/b"})"});
        // Done once the output stops growing.
        std::string last;
        wait_for(5000, [&] {
            std::string now = read_file(out);
            bool still = now == last && now.find("mark") != std::string::npos;
            last = now;
            if (!still)
                usleep(200 * 1000);
            return still;
        });
        e.code = exit_code(cmd.stop(SIGTERM, 5000));
        std::string all = read_file(out);
        size_t mark = all.find("mark");
        size_t line = all.rfind('\n', mark);
        e.out = neutral(all.substr(line == std::string::npos ? 0 : line + 1), c, true);
        return e;
    }
};

// seen: what the all-real run must have printed, so that agreeing on
// nothing passes no test.
template <class F> void every_combination(const char *seen, F run)
{
    std::vector<Combo> all = combos();
    Ended want = run(all[0]);
    EXPECT_NE(want.code, -1) << "the router's own build did not end: " << want;
    EXPECT_NE(want.out.find(seen), std::string::npos) << want;
    for (size_t i = 1; i < all.size(); i++) {
        SCOPED_TRACE(all[i].label());
        EXPECT_EQ(run(all[i]), want);
    }
}

// A callee that exits mid-call: the caller hears nothing and times out.
TEST_F(FlowCross, ACallToACalleeThatExitsTimesOut)
{
    every_combination("Request timed out", [&](const Combo &c) {
        std::string log = dir.file("victim.log");
        testsupport::Child victim({c.peer->peer, "-s", sock(*c.daemon), "-o", "victim"}, log);
        Ended e;
        if (!wait_for(5000, [&] { return read_file(log).find("ready") != std::string::npos; }))
            return e;
        Seen r = ubus(c, {"-t", "1", "call", "victim", "exit"});
        e.code = r.code;
        e.out = r.out + r.err;
        e.peer = how_ended(victim.wait(3000));
        return e;
    });
}

TEST_F(FlowCross, ListenPrintsEventsAndEndsAfterItsTimeout)
{
    every_combination("{ \"cross.event\": {\"url\":\"http://a/b\"",
                      [&](const Combo &c) { return listen(c); });
}

TEST_F(FlowCross, SubscribePrintsNotificationsAndEndsAfterItsTimeout)
{
    every_combination("{ \"cross.note\": {\"event\":\"cross.note\",\"tag\":\"a/b\"} }",
                      [&](const Combo &c) { return subscribe(c); });
}

TEST_F(FlowCross, MonitorShowsEveryMessageOfACall)
{
    every_combination("\"user\":\"root\"", [&](const Combo &c) { return monitor(c); });
}

} // namespace
