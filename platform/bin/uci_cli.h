// The uci command: shared state of one run and the printers.
#pragma once

#include <uci.h>

struct Cli {
    uci_context *ctx = nullptr;
    bool quiet = false;
    bool names = false;  // -X: real names instead of @type[N]
    const char *delim = " ";

    // Prints "uci: <error>" unless quiet; returns the exit status 1.
    int error() const;
};

void show_package(const Cli &c, uci_package *p);
void show_section(const Cli &c, uci_section *s);
void show_option(const Cli &c, uci_option *o);
void show_changes(uci_package *p);
// The value as uci get prints it: list items joined by the delimiter.
void print_value(const Cli &c, uci_option *o, bool quoted);
