#include "log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <strings.h>
#include <syslog.h>
#include <vector>

#include "config.h"
#include "dispatch.h"

namespace {
int g_log_level = OVIMAR_LOG_ERR;
int g_log_mode = OVIMAR_LOG_MODE_STDERR;

// Values that must never reach a log (syslog may be forwarded off the
// router): keys matched without case, also as the last part of a dotted
// name ("Device.MQTT.Client.1.Password").
constexpr std::string_view SECRET_KEYS[] = {"secret", "cookie", "password"};
constexpr std::string_view MASK = "***";

bool secret_key_ends_at(std::string_view t, size_t end)
{
    for (auto k : SECRET_KEYS) {
        if (end < k.size() + 1)
            continue;
        size_t b = end - k.size();
        if (!strncasecmp(t.data() + b, k.data(), k.size()) && (t[b - 1] == '"' || t[b - 1] == '.'))
            return true;
    }
    return false;
}

size_t skip_blank(std::string_view t, size_t i)
{
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t'))
        i++;
    return i;
}

size_t slashes_before(std::string_view t, size_t i)
{
    size_t b = 0;
    while (b < i && t[i - 1 - b] == '\\')
        b++;
    return b;
}

// A JSON text inside a JSON string (inside ...) writes its quotes as
// 2^d - 1 backslashes and '"' at depth d; -1: no quote of any depth.
int quote_depth(size_t slashes)
{
    for (int d = 0; d < 8; d++)
        if (slashes == (size_t{1} << d) - 1)
            return d;
    return -1;
}

// Whether a quote after that many backslashes ends a string of depth d:
// the backslashes of values' own quotes and backslashes, escaped once more
// at every depth, never leave this remainder.
bool closes(size_t slashes, int d)
{
    size_t m = size_t{1} << (d + 1);
    return slashes % m == m / 2 - 1;
}

// Where the characters of the value at v end (npos: cut); *start is where
// they begin; d is the depth of the key before it.
size_t value_end(std::string_view t, size_t v, int d, size_t *start)
{
    size_t lead = (size_t{1} << d) - 1;
    if (t.size() > v + lead && t[v + lead] == '"' &&
        t.substr(v, lead).find_first_not_of('\\') == std::string_view::npos) {
        *start = v + lead + 1;
        for (size_t i = *start; i < t.size(); i++)
            if (t[i] == '"' && closes(slashes_before(t, i), d))
                return i - lead;
        return std::string_view::npos;
    }
    *start = v;
    return t.find_first_of(",}] \t\r\n\\", v);
}

// Masking by value: the values the agent holds as secret, in every form a
// line can carry them. The broker's user name is none: it names the
// account as devId names the device, and an operator needs it to read a
// refused login; the password alone opens the session.
struct secret_field {
    const char *at;
    size_t size;
};
constexpr secret_field SECRET_VALUES[] = {
    {g_dev_status.secret, sizeof g_dev_status.secret},
    {g_mqtt_server.cookie, sizeof g_mqtt_server.cookie},
    {g_mqtt_server.Password, sizeof g_mqtt_server.Password},
};

// A run of this many characters of a secret is masked wherever it stands:
// a line cut by a buffer or a transfer's chunk holds a secret's head or
// tail only. Six characters of a random token are a secret's worth (36
// bits and more); shorter runs would hit ids and numbers in ordinary lines.
constexpr size_t PIECE = 6;
// A shorter secret is masked where a key names it only: by value it would
// take every such letter or pair out of every line.
constexpr size_t WHOLE_MIN = 4;
// raw, in a JSON string, in a JSON text held in a string, and once more:
// a devGetMqttServer answer's client holds the password at the third.
constexpr int ESCAPE_DEPTH = 3;

std::string json_escaped(std::string_view s, bool slash)
{
    std::string out;
    for (unsigned char c : s) {
        static constexpr char SHORT[] = "btn\0fr";
        if (c == '"' || c == '\\' || (c == '/' && slash)) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= '\b' && c <= '\r' && SHORT[c - '\b']) {
            out += '\\';
            out += SHORT[c - '\b'];
        } else if (c < 0x20) {
            char u[8];
            snprintf(u, sizeof u, "\\u%04x", c);
            out += u;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Every escaped form, json-c's ("\/") and others' ("/") alike.
void add_forms(std::string_view s, std::vector<std::string> &forms)
{
    size_t from = forms.size();
    forms.emplace_back(s);
    for (int d = 0; d < ESCAPE_DEPTH; d++) {
        size_t to = forms.size();
        for (size_t i = from; i < to; i++)
            for (bool slash : {true, false}) {
                std::string e = json_escaped(forms[i], slash);
                if (std::find(forms.begin(), forms.end(), e) == forms.end())
                    forms.push_back(std::move(e));
            }
        from = to;
    }
}

constexpr uint64_t GRAM_MASK = (uint64_t{1} << (8 * PIECE)) - 1;

uint64_t gram_push(uint64_t g, char c)
{
    return (g << 8 | static_cast<unsigned char>(c)) & GRAM_MASK;
}

struct value_mask {
    std::string of;                // the secrets it was made from
    std::vector<std::string> whole; // every form of WHOLE_MIN or more
    std::vector<uint64_t> grams;    // every PIECE-character run of every form
};

value_mask g_values;

void values_refresh()
{
    std::string now;
    for (const auto &f : SECRET_VALUES) {
        now.append(f.at, strnlen(f.at, f.size));
        now += '\0';
    }
    if (now == g_values.of)
        return;
    value_mask m;
    m.of = now;
    std::vector<std::string> forms;
    for (size_t at = 0; at < now.size(); at = now.find('\0', at) + 1)
        if (now[at])
            add_forms(now.c_str() + at, forms);
    for (const auto &f : forms) {
        if (f.size() >= WHOLE_MIN)
            m.whole.push_back(f);
        uint64_t g = 0;
        for (size_t i = 0; i < f.size(); i++) {
            g = gram_push(g, f[i]);
            // A run that is mostly escapes ("er\\\"") ends ordinary values too.
            if (i + 1 >= PIECE && std::count(&f[i + 1 - PIECE], &f[i + 1], '\\') <= 2)
                m.grams.push_back(g);
        }
    }
    std::sort(m.grams.begin(), m.grams.end());
    m.grams.erase(std::unique(m.grams.begin(), m.grams.end()), m.grams.end());
    g_values = std::move(m);
}

// Copies t with every run of secret characters replaced by MASK.
std::string mask_values(std::string_view t)
{
    values_refresh();
    std::vector<bool> hit(t.size());
    auto mark = [&](size_t from, size_t n) {
        std::fill(hit.begin() + static_cast<long>(from), hit.begin() + static_cast<long>(from + n), true);
    };
    for (const auto &f : g_values.whole)
        for (size_t at = t.find(f); at != std::string_view::npos; at = t.find(f, at + 1))
            mark(at, f.size());
    uint64_t g = 0;
    for (size_t i = 0; i < t.size() && !g_values.grams.empty(); i++) {
        g = gram_push(g, t[i]);
        if (i + 1 >= PIECE && std::binary_search(g_values.grams.begin(), g_values.grams.end(), g))
            mark(i + 1 - PIECE, PIECE);
    }
    std::string out;
    out.reserve(t.size());
    for (size_t i = 0; i < t.size(); i++) {
        if (!hit[i])
            out += t[i];
        else if (i == 0 || !hit[i - 1])
            out += MASK;
    }
    return out;
}

// musl formats "<pri>timestamp ovimar[pid]: " and the message into 1024
// bytes and cuts the rest; glibc sends any length. Pieces of this size
// leave over 100 bytes for the header and the mark on either.
constexpr size_t SYSLOG_PIECE = 900;

// Where the piece from p ends: never inside a UTF-8 character.
size_t piece_end(std::string_view t, size_t p)
{
    size_t end = p + SYSLOG_PIECE;
    if (end >= t.size())
        return t.size();
    for (size_t back = 0; back < 3 && (static_cast<unsigned char>(t[end]) & 0xc0) == 0x80; back++)
        end--;
    return end;
}

// A longer line goes in pieces marked " [k/n]" at their ends; removing the
// marks and joining them in order gives the line back.
void syslog_pieces(int level, std::string_view t)
{
    if (t.size() <= SYSLOG_PIECE) {
        syslog(level, "%.*s", static_cast<int>(t.size()), t.data());
        return;
    }
    while (!t.empty() && t.back() == '\n')
        t.remove_suffix(1);
    size_t n = 0;
    for (size_t p = 0; p < t.size(); p = piece_end(t, p))
        n++;
    size_t k = 0;
    for (size_t p = 0, e; p < t.size(); p = e) {
        e = piece_end(t, p);
        syslog(level, "%.*s [%zu/%zu]", static_cast<int>(e - p), t.data() + p, ++k, n);
    }
}

} // namespace

bool log_secret_name(std::string_view name)
{
    for (auto k : SECRET_KEYS)
        if (name.size() == k.size() && !strncasecmp(name.data(), k.data(), k.size()))
            return true;
    return false;
}

size_t log_mask(std::string_view t, char *out)
{
    size_t n = 0, from = 0;
    auto copy = [&](size_t upto) {
        memcpy(out + n, t.data() + from, upto - from);
        n += upto - from;
    };
    for (size_t q = t.find('"'); q != std::string_view::npos && q >= from; q = t.find('"', q + 1)) {
        size_t slashes = slashes_before(t, q);
        int d = quote_depth(slashes);
        if (d < 0 || !secret_key_ends_at(t, q - slashes))
            continue;
        size_t v = skip_blank(t, q + 1);
        if (v >= t.size() || t[v] != ':')
            continue;
        v = skip_blank(t, v + 1);
        if (v >= t.size())
            break;
        size_t start = v;
        size_t end = value_end(t, v, d, &start);
        if (end == std::string_view::npos)
            end = t.size();
        copy(start);
        memcpy(out + n, MASK.data(), MASK.size());
        n += MASK.size();
        from = end;
        q = end;
        if (q >= t.size())
            break;
    }
    copy(t.size());
    out[n] = '\0';
    return n;
}

std::string log_scrub(std::string_view t)
{
    std::unique_ptr<char[]> keyed(new char[log_mask_room(t.size())]);
    size_t n = log_mask(t, keyed.get());
    return mask_values(std::string_view(keyed.get(), n));
}

size_t log_mask_room(size_t len)
{
    // Each mask follows a key of at least 8 characters and adds at most 3.
    return len + len / 2 + MASK.size() + 1;
}

void ovimar_log(int level, const char *fmt, ...)
{
    if (level > g_log_level)
        return;

    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int len = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::unique_ptr<char[]> big;
    const char *text = line;
    if (len >= static_cast<int>(sizeof line)) {
        big.reset(new (std::nothrow) char[static_cast<size_t>(len) + 1]);
        if (big)
            vsnprintf(big.get(), static_cast<size_t>(len) + 1, fmt, again);
        text = big ? big.get() : line;
    }
    va_end(again);
    if (len < 0)
        return;

    // Nothing at all rather than the unmasked text.
    try {
        std::string safe = log_scrub(text);
        if (g_log_mode)
            fputs(safe.c_str(), stdout);
        else
            syslog_pieces(level, safe);
    } catch (...) {
    }
}

int log_level_get()
{
    return g_log_level;
}

int log_level_set(unsigned int level)
{
    if (level > OVIMAR_LOG_DEBUG)
        return -1;
    g_log_level = static_cast<int>(level);
    return 0;
}

int log_mode_get()
{
    return g_log_mode;
}

int log_mode_set(int mode)
{
    if (mode > OVIMAR_LOG_MODE_STDERR)
        return -1;
    g_log_mode = mode;
    return 0;
}

int log_open()
{
    openlog("ovimar", LOG_PID, LOG_DAEMON);
    return 0;
}
