// A private configuration and save dir, and libuci contexts on them.
#pragma once

#include <uci.h>

#include <string>

#include "proc.h"

namespace ucitest {

class Store {
public:
    Store();
    std::string conf() const { return dir_.file("config"); }
    std::string save() const { return dir_.file("save"); }
    std::string file(const std::string &pkg) const { return conf() + "/" + pkg; }
    void put(const std::string &pkg, const std::string &text) const;
    std::string read(const std::string &pkg) const;
    std::string saved(const std::string &pkg) const;

private:
    testsupport::TempDir dir_;
};

// A context on a Store, freed with the object.
class Ctx {
public:
    explicit Ctx(const Store &s);
    ~Ctx() { uci_free_context(c_); }
    Ctx(const Ctx &) = delete;
    Ctx &operator=(const Ctx &) = delete;
    operator uci_context *() const { return c_; }
    uci_context *operator->() const { return c_; }

    // Loads pkg, failing the test if it does not load.
    uci_package *load(const char *pkg);
    // The value at an extended path: list items joined by '|',
    // "<none>" when the lookup is incomplete, "<error N>" on failure.
    std::string get(const std::string &path);
    // uci_lookup_ptr on a path; the pointer refers into buf.
    int lookup(const std::string &path, uci_ptr &ptr, bool extended = true);
    std::string error(const char *prefix = nullptr);

private:
    uci_context *c_;
    std::string buf_;
};

} // namespace ucitest
