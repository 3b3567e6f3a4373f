// Fuzz entry: loads an in-memory file through the chunk reader and performs every track through
// the decoder and the scheduler, with waits disabled and no output port.
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>

#include "app/settings.h"
#include "playback/scheduler.h"
#include "smf/chunk_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::ostringstream sink;
    std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
    // What one file may leave behind for the next: an ended play, a tempo, a header.
    gIsVerbose = true;
    gIsDone = false;
    gTempo = 500000;
    gMidiHeader = {0, 0, 0};
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    MIDITrack* head = readChunks(in);
    playTracks(head, [](int64_t) {});
    deleteTracks(head);
    sink.str("");
    std::cout.rdbuf(old);
    return 0;
}
