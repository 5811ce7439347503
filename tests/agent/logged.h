// The agent's log (mode 1, standard output) while a piece of a test runs;
// gtest's own reports outside it stay visible.
#pragma once

#include <string>

#include "capture.h"

template <class F> std::string logged(F f)
{
    StdoutCapture out;
    f();
    return out.text();
}

inline bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}
