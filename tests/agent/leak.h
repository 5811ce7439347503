// Whether a log holds a secret in any form a line can carry it, and the
// secrets a platform handed out.
#pragma once

#include <string>
#include <vector>

#include "peers.h"

inline std::string escaped(const std::string &s, bool slash)
{
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\' || (c == '/' && slash))
            out += '\\';
        out += c;
    }
    return out;
}

// What of secret the text holds: a whole form escaped up to three times
// (json-c writes "/" as "\/", others do not), or a run of 6 of it.
inline std::string leak(const std::string &text, const std::string &secret)
{
    std::vector<std::string> forms = {secret};
    for (size_t i = 0; i < forms.size() && forms.size() < 15; i++)
        for (bool slash : {true, false})
            forms.push_back(escaped(forms[i], slash));
    for (const auto &f : forms)
        if (text.find(f) != std::string::npos)
            return f;
    for (size_t i = 0; i + 6 <= secret.size(); i++)
        if (text.find(secret.substr(i, 6)) != std::string::npos)
            return secret.substr(i, 6);
    return "";
}

// Whether "***" follows key closely (its ':', spaces and quote between).
inline bool masked_after(const std::string &text, const std::string &key)
{
    size_t at = text.find(key);
    return at != std::string::npos && text.substr(at + key.size(), 16).find("***") != std::string::npos;
}

// The cookies of the requests in a platform_sim log.
inline std::vector<std::string> cookies(const std::string &plog)
{
    std::vector<std::string> all;
    for (const auto &req : Platform::parse(plog)) {
        std::string cookie = json_str(json_object_object_get(req.get(), "body"), "cookie");
        if (cookie != "<missing>" && !cookie.empty())
            all.push_back(cookie);
    }
    return all;
}
