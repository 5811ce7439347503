#include "cross.h"

#include <cctype>

namespace cross {

std::string Combo::label() const
{
    return std::string("daemon ") + daemon->name + ", ubus " + cli->name + ", peer " +
           peer->name;
}

std::vector<Combo> combos()
{
    std::vector<Combo> all;
    for (const Build *d : BUILDS)
        for (const Build *c : BUILDS)
            for (const Build *p : BUILDS)
                all.push_back(Combo{d, c, p});
    return all;
}

namespace {

void replace_all(std::string &text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

} // namespace

namespace {

bool hex8(const std::string &t, size_t at)
{
    if (at + 8 > t.size())
        return false;
    for (size_t i = at; i < at + 8; i++)
        if (!isxdigit(static_cast<unsigned char>(t[i])))
            return false;
    return true;
}

// Each 8-digit hex number right after prefix becomes ID.
void neutral_hex(std::string &text, const std::string &prefix)
{
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
        if (hex8(text, at + prefix.size()))
            text.replace(at + prefix.size(), 8, "ID");
    }
}

// Each number right after prefix becomes ID.
void neutral_number(std::string &text, const std::string &prefix)
{
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
        size_t from = at + prefix.size(), end = from;
        if (end < text.size() && text[end] == '-')
            end++;
        while (end < text.size() && isdigit(static_cast<unsigned char>(text[end])))
            end++;
        if (end > from)
            text.replace(from, end - from, "ID");
    }
}

} // namespace

std::string neutral(std::string text, const Combo &c, bool named)
{
    neutral_hex(text, "@");
    // monitor lines: "-> 1a2b3c4d #5e6f7a8b"
    neutral_hex(text, "-> ");
    neutral_hex(text, "<- ");
    neutral_hex(text, " #");
    neutral_number(text, "\"objid\":");
    neutral_number(text, "\"objtype\":");
    replace_all(text, c.cli->ubus, "ubus");  // usage texts name the program
    if (named)
        replace_all(text, c.peer->object, "OBJ");
    return text;
}

std::string CrossBus::sock(const Build &daemon) const
{
    return dir.file(std::string(daemon.name) + ".sock");
}

void CrossBus::SetUp()
{
    for (int d = 0; d < 2; d++) {
        const Build &b = *BUILDS[d];
        std::string log = dir.file(std::string("ubusd-") + b.name + ".log");
        daemons[d] = testsupport::Child({b.ubusd, "-s", sock(b)}, log);
        bool up = testsupport::wait_for(5000, [&] {
            return testsupport::run({HOST.ubus, "-s", sock(b), "list"}).code == 0;
        });
        ASSERT_TRUE(up) << b.name << " ubusd: " << testsupport::read_file(log);
        for (int p = 0; p < 2; p++) {
            const Build &pb = *BUILDS[p];
            std::string plog = dir.file(std::string("peer-") + b.name + "-" + pb.name);
            peers[d][p] = testsupport::Child({pb.peer, "-s", sock(b), "-o", pb.object}, plog);
            bool ready = testsupport::wait_for(5000, [&] {
                return testsupport::read_file(plog).find("ready") != std::string::npos;
            });
            ASSERT_TRUE(ready) << pb.name << " peer on " << b.name << ": "
                               << testsupport::read_file(plog);
        }
    }
}

std::vector<std::string> CrossBus::argv(const Combo &c, std::vector<std::string> args) const
{
    for (std::string &a : args)
        if (a == "OBJ")
            a = c.peer->object;
    args.insert(args.begin(), {c.cli->ubus, "-s", sock(*c.daemon)});
    return args;
}

testsupport::Child CrossBus::background(const Combo &c, std::vector<std::string> args,
                                        const std::string &out) const
{
    return testsupport::Child(argv(c, std::move(args)), out);
}

std::string CrossBus::peer_log(const Combo &c) const
{
    return testsupport::read_file(dir.file(std::string("peer-") + c.daemon->name + "-" +
                                           c.peer->name));
}

Seen CrossBus::ubus(const Combo &c, std::vector<std::string> args, int timeout_ms)
{
    bool named = false;
    for (const std::string &a : args)
        named = named || a == "OBJ";
    testsupport::RunOptions o;
    o.timeout_ms = timeout_ms;
    auto r = testsupport::run(argv(c, std::move(args)), o);
    return Seen{r.code, neutral(r.out, c, named), neutral(r.err, c, named)};
}

} // namespace cross
