// Player settings shared by the whole program.
#pragma once

#include <atomic>
#include <cstdint>

class RtMidiOut;

struct MidiHeader {
    int16_t format;
    int16_t tracks;
    int16_t division;
};

extern float gTempoScale;
extern int32_t gTempo;
// Set from signal handlers, polled by the loading and playing loops.
extern std::atomic<bool> gIsDone;
extern bool gIsVerbose;
extern bool gFixedTempo;
extern uint16_t gSoundingFlags[128];
extern RtMidiOut* gMidiOut;
extern MidiHeader gMidiHeader;
