// The broker's name looked up in a child process: a slow or dead resolver
// never holds the agent's loop, and a lookup past its limit is given up.
#pragma once

enum {
    LOOKUP_READY = 0,   // connect now: an address, or a name just resolved
    LOOKUP_PENDING = 1, // a lookup runs; done is called when it ends
    LOOKUP_FAILED = -1, // the name did not resolve within the limit
};

// A name starts a lookup unless the last one, of the same name, has just
// ended; that answer serves one connect. The library then resolves the
// name again and finds it in the router's resolver cache.
int lookup_host(const char *host, int limit_s, void (*done)());
