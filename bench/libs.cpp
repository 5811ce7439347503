#include "libs.h"

#include <sys/stat.h>

#include <set>
#include <string>

#include "proc.h"

namespace {

// Each line of text, without its newline, to f.
template <class F> void each_line(const std::string &text, F f)
{
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        f(text.substr(at, end - at));
        at = end + 1;
    }
}

// The path of a maps line: the sixth field, which alone starts with '/'.
std::string map_path(const std::string &line)
{
    size_t at = line.find('/');
    return at == std::string::npos ? std::string() : line.substr(at);
}

std::string base_name(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

bool is_shared_object(const std::string &path)
{
    std::string b = base_name(path);
    size_t so = b.find(".so");
    return so != std::string::npos && (so + 3 == b.size() || b[so + 3] == '.');
}

} // namespace

std::string mapped_library(const std::string &maps, const std::string &stem)
{
    std::string found;
    each_line(maps, [&](const std::string &line) {
        std::string p = map_path(line);
        if (found.empty() && base_name(p).rfind(stem + ".", 0) == 0)
            found = p;
    });
    return found;
}

int mapped_libraries(const std::string &maps)
{
    std::set<std::string> libs;
    each_line(maps, [&](const std::string &line) {
        std::string p = map_path(line);
        if (is_shared_object(p))
            libs.insert(p);
    });
    return static_cast<int>(libs.size());
}

int ldd_needs(const std::string &ldd_out)
{
    int n = 0;
    each_line(ldd_out, [&](const std::string &line) {
        if (line.find(" => ") != std::string::npos)
            n++;
    });
    return n;
}

lib_info library_of(pid_t pid, const std::string &stem)
{
    lib_info l = {"", -1, -1, -1};
    std::string maps = testsupport::read_file("/proc/" + std::to_string(pid) + "/maps");
    if (maps.empty())
        return l;
    l.mapped = mapped_libraries(maps);
    l.path = mapped_library(maps, stem);
    if (l.path.empty())
        return l;
    struct stat st = {};
    if (stat(l.path.c_str(), &st) == 0)
        l.bytes = st.st_size;
    testsupport::Result r = testsupport::run({"ldd", l.path});
    if (r.code == 0)
        l.needs = ldd_needs(r.out);
    return l;
}
