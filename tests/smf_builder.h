// Building MIDI files and tracks in memory, and watching what the player prints.
#pragma once

#include <cstdint>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/settings.h"
#include "smf/MIDITrack.h"

using Bytes = std::vector<uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

inline Bytes chunk(const char* id, const Bytes& body) {
    return cat({Bytes(id, id + 4), be32(uint32_t(body.size())), body});
}

inline Bytes header(int format, int tracks, int division) {
    return chunk("MThd", {uint8_t(format >> 8), uint8_t(format), uint8_t(tracks >> 8),
                          uint8_t(tracks), uint8_t(division >> 8), uint8_t(division)});
}

inline Bytes smf(int format, int division, std::initializer_list<Bytes> tracks) {
    Bytes out = header(format, int(tracks.size()), division);
    for (const Bytes& t : tracks)
        out = cat({out, chunk("MTrk", t)});
    return out;
}

inline std::string str(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// A track holding body, as the loader would build it.
inline MIDITrack* makeTrack(const Bytes& body, int32_t index = 0) {
    std::istringstream in(str(body));
    return new MIDITrack(int64_t(body.size()), in, index);
}

// Everything written to standard output while f runs.
inline std::string captureStdout(const std::function<void()>& f) {
    std::ostringstream out;
    std::streambuf* old = std::cout.rdbuf(out.rdbuf());
    f();
    std::cout.rdbuf(old);
    return out.str();
}

// Player settings as a fresh run has them.
inline void resetSettings() {
    gTempoScale = 1.0f;
    gTempo = 500000;
    gIsDone = false;
    gIsVerbose = false;
    gFixedTempo = false;
    for (uint16_t& w : gSoundingFlags)
        w = 0;
    gMidiOut = nullptr;
    gMidiHeader = {0, 0, 0};
}
