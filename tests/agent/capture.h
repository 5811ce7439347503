// Collects what the code under test writes to standard output (the
// agent's log in mode 1) while the object lives.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

#include "proc.h"

class StdoutCapture {
public:
    StdoutCapture() : path_(dir_.file("stdout"))
    {
        fflush(stdout);
        saved_ = dup(1);
        FILE *f = freopen(path_.c_str(), "w", stdout);
        (void)f;
    }
    ~StdoutCapture() { restore(); }

    std::string text()
    {
        fflush(stdout);
        return testsupport::read_file(path_);
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
    }

    testsupport::TempDir dir_;
    std::string path_;
    int saved_ = -1;
};
