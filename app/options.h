// Command-line scan.
#pragma once

#include <cstdint>

struct RunOptions {
    const char* fileName = nullptr;
    int32_t portIndex = -1; // negative: create the virtual port
    bool listPorts = false;
    bool clearNotes = false;
};

// Writes the usage text and ends the process with status 0.
[[noreturn]] void usage();

// Scans argv, sets the player settings and returns the run options; calls usage() when the
// command line asks for nothing the program can do.
RunOptions scanOptions(int argc, char** argv);
