// Reading the fleet's output: one poll over every agent's FIFO, each line
// stamped when it arrives.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "fleet_rig.h"

namespace {

void take_line(fleet_member &m, const std::string &line, double t)
{
    size_t before = m.events.size();
    fleet_parse_line(line, t, &m.events);
    for (size_t i = before; i < m.events.size(); i++)
        if (m.events[i].kind == fleet_ev::state) {
            m.state = m.events[i].to;
            m.changed = t;
        }
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%.3f ", t);
    m.log += stamp + line + '\n';
}

// Whatever the agent wrote so far; the FIFO closes when it ends.
void drain(fleet_member &m, double t)
{
    char buf[8192];
    for (;;) {
        ssize_t n = read(m.out.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return; // EAGAIN: all read
        if (n == 0) {
            if (!m.partial.empty())
                take_line(m, m.partial, t);
            m.partial.clear();
            m.out.reset();
            return;
        }
        m.partial.append(buf, static_cast<size_t>(n));
        size_t from = 0;
        for (size_t nl; (nl = m.partial.find('\n', from)) != std::string::npos; from = nl + 1)
            take_line(m, m.partial.substr(from, nl - from), t);
        m.partial.erase(0, from);
    }
}

} // namespace

bool fleet_pump(fleet &f, double seconds, const std::function<bool()> &done)
{
    const double end = fleet_now() + seconds;
    std::vector<pollfd> fds;
    std::vector<fleet_member *> who;
    for (;;) {
        if (g_fleet_interrupted)
            throw std::runtime_error("interrupted");
        if (done && done())
            return true;
        double left = end - fleet_now();
        if (left <= 0)
            return false;
        fds.clear();
        who.clear();
        for (auto &m : f.members)
            if (m->out.fd >= 0) {
                fds.push_back({m->out.fd, POLLIN, 0});
                who.push_back(m.get());
            }
        int ms = std::min(200, static_cast<int>(left * 1000) + 1);
        int n = poll(fds.data(), fds.size(), ms);
        if (n < 0 && errno != EINTR)
            throw std::runtime_error("poll");
        double t = fleet_now();
        for (size_t i = 0; n > 0 && i < fds.size(); i++)
            if (fds[i].revents)
                drain(*who[i], t);
    }
}

int fleet_in_state(const fleet &f, int state)
{
    return static_cast<int>(std::count_if(f.members.begin(), f.members.end(),
                                          [&](const auto &m) { return m->state == state; }));
}

std::vector<const std::vector<fleet_event> *> fleet_event_lists(const fleet &f)
{
    std::vector<const std::vector<fleet_event> *> out;
    for (const auto &m : f.members)
        out.push_back(&m->events);
    return out;
}
