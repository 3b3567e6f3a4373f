// The command line: the option scan and the usage text.
#include "app/options.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "app/settings.h"

void usage() {
    std::cout << "\nUsage: velotap [options] filename\n"
              << "    -o #   output port (default = virtual)\n"
              << "    -v     verbose\n"
              << "    -l     list output ports\n"
              << "    -c     clear notes\n"
              << "    -t     tempo scale (def=1.0)\n"
              << "    -f     fixed tempo (specified in bpm - ignores tempo directives)\n"
              << "\n";
    std::cout.flush();
    std::exit(0);
}

// atoi's reading, but a number beyond the int range saturates instead of being undefined.
static int readInt(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

// atof's reading, narrowed to single precision; beyond the float range it becomes infinite.
static float readScale(const char* text) {
    const double value = std::atof(text);
    if (std::fabs(value) > FLT_MAX && std::isfinite(value))
        return value > 0 ? INFINITY : -INFINITY;
    return static_cast<float>(value);
}

RunOptions scanOptions(int argc, char** argv) {
    RunOptions opts;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            opts.fileName = arg;
            continue;
        }
        const char letter = arg[1];
        const bool takesValue = letter == 'f' || letter == 'o' || letter == 't';
        // A value option with nothing after it has no value to read.
        if (takesValue && i + 1 >= argc)
            usage();
        switch (letter) {
        case 'c':
            opts.clearNotes = true;
            break;
        case 'f': {
            const int bpm = readInt(argv[++i]);
            // No tempo can be derived from 0 beats per minute.
            if (bpm == 0)
                usage();
            gTempo = 60000000 / bpm;
            gFixedTempo = true;
            break;
        }
        case 'h':
        case 'l':
        case 'p':
            opts.listPorts = true;
            break;
        case 'o':
            // Computed in 64 bits: -o with the most negative int must still mean "virtual".
            opts.portIndex =
                static_cast<int32_t>(std::max<int64_t>(INT32_MIN, int64_t{readInt(argv[++i])} - 1));
            break;
        case 't':
            gTempoScale = readScale(argv[++i]);
            break;
        case 'v':
            gIsVerbose = true;
            break;
        default:
            usage();
        }
    }
    if (opts.fileName == nullptr && !opts.listPorts && !opts.clearNotes)
        usage();
    return opts;
}
