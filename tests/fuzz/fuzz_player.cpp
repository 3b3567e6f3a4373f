// Fuzz entry: loads an in-memory file through the chunk reader and performs every track through
// the decoder and the scheduler, with waits disabled and no output port.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>

#include "app/settings.h"
#include "playback/scheduler.h"
#include "smf/chunk_reader.h"

static void noWait(int64_t) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::ostringstream sink;
    std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
    gTempoScale = 1.0f;
    gTempo = 500000;
    gIsDone = false;
    gIsVerbose = true;
    gFixedTempo = false;
    gMidiHeader = {0, 0, 0};
    for (uint16_t& w : gSoundingFlags)
        w = 0;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    MIDITrack* head = readChunks(in);
    playTracks(head, noWait);
    deleteTracks(head);
    sink.str("");
    std::cout.rdbuf(old);
    return 0;
}
