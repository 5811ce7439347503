// The uci command: shared state of one run, the commands and the printers.
#pragma once

#include <uci.h>

#include <cstdio>

struct Cli {
    uci_context *ctx = nullptr;
    const char *app = "uci";  // argv[0]: the prefix of every message
    const char *delim = " ";
    FILE *input = stdin;      // batch and import
    bool quiet = false;
    bool show_ext = true;     // @type[N] for unnamed sections in show
    bool nocommit = false;    // -P: changes stay in the save dir
    bool merge = false;       // import -m
    bool batch = false;

    // Prints "<app>: <error>" unless quiet; returns the exit status 1.
    int error() const;
    // A message of the command's own, unless quiet.
    void say(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));
};

void usage(const Cli &c);
// Runs argv[0] with its arguments; 255 asks for the usage text.
int run_command(Cli &c, int argc, char **argv);
int run_batch(Cli &c);
int run_import(Cli &c, int argc, char **argv);

void show_package(const Cli &c, uci_package *p);
// Alone, a section or option shows under its real name.
void show_section(const Cli &c, uci_section *s, const char *ref = nullptr);
void show_option(const Cli &c, uci_option *o, const char *ref = nullptr);
void show_changes(uci_package *p);
// An option's value and a line feed; list items joined by the delimiter,
// quoted when asked or when they hold whitespace.
void show_value(const Cli &c, uci_option *o, bool quote);
