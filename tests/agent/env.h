// Points the host stand-ins at a private world: UCI files, board data and
// the router's commands first on PATH.
#pragma once

#include <cstdlib>
#include <string>

#include "proc.h"

struct PrivateRouter {
    testsupport::TempDir dir;
    std::string confdir = dir.file("config");
    std::string savedir = dir.file("uci-save");
    std::string nvfile = dir.file("nvtool.txt");

    PrivateRouter()
    {
        testsupport::run({"mkdir", "-p", confdir, savedir});
        setenv("HOST_UCI_CONFDIR", confdir.c_str(), 1);
        setenv("HOST_UCI_SAVEDIR", savedir.c_str(), 1);
        setenv("HOST_NVTOOL_FILE", nvfile.c_str(), 1);
        std::string path = std::string(PLATFORM_BIN_DIR) + ":" + getenv("PATH");
        setenv("PATH", path.c_str(), 1);
    }

    void config(const std::string &package, const std::string &text) const
    {
        testsupport::write_file(confdir + "/" + package, text);
    }

    std::string config(const std::string &package) const
    {
        return testsupport::read_file(confdir + "/" + package);
    }

    std::vector<std::string> env() const
    {
        return {"HOST_UCI_CONFDIR=" + confdir, "HOST_UCI_SAVEDIR=" + savedir,
                "HOST_NVTOOL_FILE=" + nvfile,
                "PATH=" + std::string(PLATFORM_BIN_DIR) + ":/usr/sbin:/usr/bin:/sbin:/bin"};
    }
};
