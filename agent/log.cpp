#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <strings.h>
#include <syslog.h>

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

// Where the characters of the value at v end; *start is where they begin.
size_t value_end(std::string_view t, size_t v, size_t *start)
{
    if (t.substr(v, 2) == "\\\"") { // a JSON text inside a JSON string
        *start = v + 2;
        return t.find("\\\"", *start);
    }
    if (t[v] == '"') {
        *start = v + 1;
        for (size_t i = *start; i < t.size(); i++) {
            if (t[i] == '\\')
                i++;
            else if (t[i] == '"')
                return i;
        }
        return std::string_view::npos;
    }
    *start = v;
    return t.find_first_of(",}] \t\r\n", v);
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
        size_t name_end = q > 0 && t[q - 1] == '\\' ? q - 1 : q;
        if (!secret_key_ends_at(t, name_end))
            continue;
        size_t v = skip_blank(t, q + 1);
        if (v >= t.size() || t[v] != ':')
            continue;
        v = skip_blank(t, v + 1);
        if (v >= t.size())
            break;
        size_t start = v;
        size_t end = value_end(t, v, &start);
        if (end == std::string_view::npos)
            end = t.size();
        copy(start);
        memcpy(out + n, MASK.data(), MASK.size());
        n += MASK.size();
        from = end;
        q = end > 0 ? end - 1 : 0;
    }
    copy(t.size());
    out[n] = '\0';
    return n;
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

    std::string_view raw(text);
    std::unique_ptr<char[]> safe(new (std::nothrow) char[log_mask_room(raw.size())]);
    if (!safe)
        return; // never the unmasked text
    log_mask(raw, safe.get());
    if (g_log_mode)
        fputs(safe.get(), stdout);
    else
        syslog(level, "%s", safe.get());
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
