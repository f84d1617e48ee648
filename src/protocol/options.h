// The command line: the mode, the three budgets, the terminal size, extra descriptors and
// the command to run.
#pragma once

#include <map>

struct Options {
    int startupMs = 0;
    int graceMs = 0;
    int confirmMs = 0;
    int cols = 0;
    int rows = 0;
    int commandIndex = 0;
    bool guardian = false;
    bool pty = false;
    std::map<int, bool> extraFds;  // descriptor the root sees -> true for input
};

Options options(int argc, char** argv);
