// Packages on disk: <confdir>/<name>, with pending changes from the save dir.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "guard.h"
#include "io.h"
#include "uci_int.h"

namespace uci {

namespace {

// Owns a package that is not yet (or no longer) in a context.
class Owned {
public:
    explicit Owned(uci_package *p) : p_(p) {}
    ~Owned()
    {
        if (p_)
            free_element(&p_->e);
    }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    uci_package *get() const { return p_; }
    uci_package *release()
    {
        uci_package *p = p_;
        p_ = nullptr;
        return p;
    }

private:
    uci_package *p_;
};

struct Dir {
    DIR *d;
    ~Dir()
    {
        if (d)
            closedir(d);
    }
};

int io_error(uci_context *ctx, int err)
{
    return fail(ctx, err == ENOENT || err == ENOTDIR ? UCI_ERR_NOTFOUND : UCI_ERR_IO);
}

int read_config(uci_context *ctx, int fd, std::string &text)
{
    struct stat st{};
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || !io::read_all(fd, text))
        return fail(ctx, UCI_ERR_IO);
    return UCI_OK;
}

// Holds <savedir>/<package> locked while its changes are read or flushed.
io::Fd open_delta(const uci_context *ctx, const char *package, int lock)
{
    io::Fd fd(open(delta_path(ctx, package).c_str(),
                   (lock == LOCK_EX ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    if (fd.get() >= 0) {
        while (flock(fd.get(), lock) < 0 && errno == EINTR) {
        }
    }
    return fd;
}

std::string real_path(const char *path)
{
    char *r = realpath(path, nullptr);
    if (!r)
        return path;
    std::string s = r;
    free(r);
    return s;
}

// Puts np where p was in the context and frees p.
void swap_in(uci_package *p, uci_package *np)
{
    np->path = p->path;
    p->path = nullptr;
    np->has_delta = true;
    list_insert(&p->e.list, &np->e.list);
    free_element(&p->e);
}

int commit(uci_context *ctx, uci_package **pp, bool overwrite)
{
    if (!pp || !*pp || !(*pp)->path)
        return fail(ctx, UCI_ERR_INVAL);
    uci_package *p = *pp;

    // Commits of one package take turns on the file's lock.
    io::Fd cfg;
    int err = io::lock_current(p->path, cfg);
    if (err && !(overwrite && err == ENOENT))
        return io_error(ctx, err);
    mode_t mode = UCI_FILEMODE;
    struct stat st{};
    if (cfg.get() >= 0 && fstat(cfg.get(), &st) == 0)
        mode = st.st_mode & 07777;
    std::string target = real_path(p->path);
    io::Fd delta = open_delta(ctx, p->e.name, LOCK_EX);
    std::string saved;
    if (delta.get() >= 0 && !io::read_all(delta.get(), saved))
        return fail(ctx, UCI_ERR_IO);

    if (overwrite) {
        bool names = ctx->flags & UCI_FLAG_EXPORT_NAME;
        if ((err = io::replace_file(target, export_text(p, false, names), mode)))
            return fail(ctx, UCI_ERR_IO);
        if (delta.get() >= 0 && ftruncate(delta.get(), 0) < 0)
            return fail(ctx, UCI_ERR_IO);
        while (!uci_list_empty(&p->delta))
            free_element(list_to_element(p->delta.next));
        return UCI_OK;
    }

    // Another process may have committed since p was loaded: start again
    // from the file as it is now, then apply saved and own changes.
    std::string text;
    int r = read_config(ctx, cfg.get(), text);
    if (r)
        return r;
    Owned np(package_new(ctx, p->e.name));
    if ((r = parse_config(ctx, np.get(), text)))
        return r;
    int changes = replay_text(ctx, np.get(), saved, nullptr);
    changes += replay_list(ctx, np.get(), &p->delta);
    if (changes > 0) {
        bool names = ctx->flags & UCI_FLAG_EXPORT_NAME;
        if (io::replace_file(target, export_text(np.get(), false, names), mode))
            return fail(ctx, UCI_ERR_IO);
    }
    if (!saved.empty() && ftruncate(delta.get(), 0) < 0)
        return fail(ctx, UCI_ERR_IO);
    swap_in(p, np.get());
    *pp = np.release();
    ctx->err = UCI_OK;
    return UCI_OK;
}

} // namespace

int load(uci_context *ctx, const char *name, uci_package **res)
{
    if (!name || !valid_package(name))
        return fail(ctx, UCI_ERR_INVAL);
    if (find(&ctx->root, name))
        return fail(ctx, UCI_ERR_DUPLICATE);

    // The shared lock keeps a commit from flushing the changes between
    // the read of the file and the read of the changes.
    io::Fd delta = open_delta(ctx, name, LOCK_SH);
    std::string path = std::string(ctx->confdir) + "/" + name;
    io::Fd cfg(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (cfg.get() < 0)
        return io_error(ctx, errno);
    std::string text;
    int r = read_config(ctx, cfg.get(), text);
    if (r)
        return r;

    Owned p(package_new(ctx, name));
    if ((r = parse_config(ctx, p.get(), text)))
        return r;
    std::string saved;
    if (delta.get() >= 0 && io::read_all(delta.get(), saved)) {
        bool keep = ctx->flags & UCI_FLAG_SAVED_DELTA;
        replay_text(ctx, p.get(), saved, keep ? &p.get()->saved_delta : nullptr);
    }
    p.get()->path = strdup(path.c_str());
    if (!p.get()->path)
        return fail(ctx, UCI_ERR_MEM);
    p.get()->has_delta = true;
    list_insert(&ctx->root, &p.get()->e.list);
    uci_package *loaded = p.release();
    if (res)
        *res = loaded;
    ctx->err = UCI_OK;
    return UCI_OK;
}

} // namespace uci

using namespace uci;

extern "C" {

int uci_load(uci_context *ctx, const char *name, uci_package **package)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    if (package)
        *package = nullptr;
    return guarded(ctx, [&]() -> int { return load(ctx, name, package); });
}

int uci_unload(uci_context *ctx, uci_package *p)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    if (!p)
        return fail(ctx, UCI_ERR_INVAL);
    free_element(&p->e);
    return UCI_OK;
}

int uci_commit(uci_context *ctx, uci_package **p, bool overwrite)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    return guarded(ctx, [&]() -> int { return commit(ctx, p, overwrite); });
}

int uci_list_configs(uci_context *ctx, char ***list)
{
    if (!ctx)
        return UCI_ERR_INVAL;
    begin(ctx);
    if (!list)
        return fail(ctx, UCI_ERR_INVAL);
    return guarded(ctx, [&]() -> int {
        Dir dir{opendir(ctx->confdir)};
        if (!dir.d)
            return io_error(ctx, errno);
        std::vector<std::string> names;
        size_t bytes = 0;
        while (dirent *de = readdir(dir.d)) {
            std::string path = std::string(ctx->confdir) + "/" + de->d_name;
            struct stat st{};
            if (!valid_package(de->d_name) || stat(path.c_str(), &st) || !S_ISREG(st.st_mode))
                continue;
            names.emplace_back(de->d_name);
            bytes += names.back().size() + 1;
        }
        std::sort(names.begin(), names.end());
        // One block: the pointer array, then the strings it points to.
        size_t head = (names.size() + 1) * sizeof(char *);
        auto **out = static_cast<char **>(calloc(1, head + bytes));
        if (!out)
            return fail(ctx, UCI_ERR_MEM);
        char *s = reinterpret_cast<char *>(out) + head;
        for (size_t i = 0; i < names.size(); i++) {
            memcpy(s, names[i].c_str(), names[i].size() + 1);
            out[i] = s;
            s += names[i].size() + 1;
        }
        *list = out;
        return UCI_OK;
    });
}

} // extern "C"
