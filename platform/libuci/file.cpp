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
    if (fstat(fd, &st) < 0)
        return fail(ctx, UCI_ERR_IO);
    // Only a file is a configuration; a folder is none, as on the router.
    if (!S_ISREG(st.st_mode))
        return fail(ctx, UCI_ERR_NOTFOUND);
    return io::read_all(fd, text) ? UCI_OK : fail(ctx, UCI_ERR_IO);
}

// Holds a change file locked while its changes are read or flushed.
io::Fd open_delta(const std::string &path, int lock)
{
    io::Fd fd(open(path.c_str(), (lock == LOCK_EX ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    if (fd.get() >= 0) {
        while (flock(fd.get(), lock) < 0 && errno == EINTR) {
        }
    }
    return fd;
}

// The change files of a package, every delta path's in order (the save
// dir's last), held locked from before the configuration file is read.
struct Deltas {
    std::vector<io::Fd> fds;
    int flush = -1;  // index of the save dir's file

    Deltas(const uci_context *ctx, const char *package, bool for_flush)
    {
        uci_element *e;
        uci_foreach_element(&ctx->delta_path, e) {
            bool own = !strcmp(e->name, ctx->savedir);
            std::string path = std::string(e->name) + "/" + package;
            if (own && for_flush)
                flush = static_cast<int>(fds.size());
            fds.push_back(open_delta(path, own && for_flush ? LOCK_EX : LOCK_SH));
        }
    }

    // Applies every file's changes to p; returns how many applied.
    int replay(uci_context *ctx, uci_package *p, uci_list *keep) const
    {
        int n = 0;
        std::string text;
        for (const io::Fd &fd : fds) {
            if (fd.get() >= 0 && lseek(fd.get(), 0, SEEK_SET) == 0 && io::read_all(fd.get(), text))
                n += replay_text(ctx, p, text, keep);
        }
        return n;
    }

    bool truncate() const
    {
        return flush < 0 || fds[static_cast<size_t>(flush)].get() < 0 ||
               ftruncate(fds[static_cast<size_t>(flush)].get(), 0) == 0;
    }
};

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

int write_package(uci_context *ctx, const uci_package *p, const std::string &target, mode_t mode)
{
    bool names = ctx->flags & UCI_FLAG_EXPORT_NAME;
    return io::replace_file(target, export_text(p, false, names), mode) ? fail(ctx, UCI_ERR_IO)
                                                                         : UCI_OK;
}

int commit(uci_context *ctx, uci_package **pp, bool overwrite)
{
    if (!pp || !*pp)
        return fail(ctx, UCI_ERR_INVAL);
    uci_package *p = *pp;
    if (!p->path) {
        if (!overwrite)
            return fail(ctx, UCI_ERR_INVAL);
        p->path = strdup((std::string(ctx->confdir) + "/" + p->e.name).c_str());
        if (!p->path)
            return fail(ctx, UCI_ERR_MEM);
    }
    // Own changes go through the save dir like everybody else's.
    int r = UCI_OK;
    if (p->has_delta && !overwrite && (r = save(ctx, p)))
        return r;

    // Commits of one package take turns on the file's lock.
    io::Fd cfg;
    int err = io::lock_current(p->path, cfg);
    if (err && !(err == ENOENT && (overwrite || !p->has_delta)))
        return io_error(ctx, err);
    mode_t mode = UCI_FILEMODE;
    struct stat st{};
    if (cfg.get() >= 0 && fstat(cfg.get(), &st) == 0)
        mode = st.st_mode & 07777;
    std::string target = real_path(p->path);
    if (!p->has_delta)
        return write_package(ctx, p, target, mode);

    Deltas deltas(ctx, p->e.name, true);
    std::string text;
    if ((r = read_config(ctx, cfg.get(), text)))
        return r;
    // Another process may have committed since p was loaded: start again
    // from the file as it is now. An overwrite writes p as it stands, but
    // like the router's only when saved changes are pending.
    Owned np(package_new(ctx, p->e.name));
    if ((r = parse_config(ctx, np.get(), text)))
        return r;
    bool keep = ctx->flags & UCI_FLAG_SAVED_DELTA;
    int changes = deltas.replay(ctx, np.get(), keep ? &np.get()->saved_delta : nullptr);
    if (changes > 0) {
        if ((r = write_package(ctx, overwrite ? p : np.get(), target, mode)))
            return r;
        if (!deltas.truncate())
            return fail(ctx, UCI_ERR_IO);
    }
    if (!overwrite) {
        swap_in(p, np.get());
        *pp = np.release();
    }
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

    // The shared locks keep a commit from flushing the changes between
    // the read of the file and the read of the changes.
    Deltas deltas(ctx, name, false);
    std::string path = std::string(ctx->confdir) + "/" + name;
    // Never opened unless a file: opening a fifo would wait for a writer.
    struct stat st{};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return fail(ctx, UCI_ERR_NOTFOUND);
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
    bool keep = ctx->flags & UCI_FLAG_SAVED_DELTA;
    deltas.replay(ctx, p.get(), keep ? &p.get()->saved_delta : nullptr);
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
        bool any = false;
        while (dirent *de = readdir(dir.d)) {
            any = any || de->d_name[0] != '.';
            std::string path = std::string(ctx->confdir) + "/" + de->d_name;
            struct stat st{};
            // Folders are left out; anything else is listed, even a
            // link to nothing, which then fails to load.
            if (!valid_package(de->d_name) || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
                continue;
            names.emplace_back(de->d_name);
            bytes += names.back().size() + 1;
        }
        // A folder with nothing in it has no configuration, as on the router.
        if (!any)
            return fail(ctx, UCI_ERR_NOTFOUND);
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
