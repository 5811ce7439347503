// Which libcurl a running agent really loaded, and what that library drags in.
#pragma once

#include <sys/types.h>

#include <string>

struct lib_info {
    std::string path;   // as mapped into the process; empty: none found
    long long bytes;    // its file size; -1 unknown
    int needs;          // libraries it loads, all levels, as ldd lists them; -1 unknown
    int mapped;         // shared objects the whole process maps; -1 unknown
};

// The file of the first mapping whose name starts with stem and a dot
// ("libcurl" finds libcurl.so.4.8.0, not libcurl-gnutls.so.4).
std::string mapped_library(const std::string &maps, const std::string &stem);
// Distinct shared objects among the mappings of /proc/PID/maps.
int mapped_libraries(const std::string &maps);
// Libraries ldd resolved or failed to ("name => ..."): neither the vDSO nor
// the loader, which every program has.
int ldd_needs(const std::string &ldd_out);
lib_info library_of(pid_t pid, const std::string &stem);
