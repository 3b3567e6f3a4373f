#include "smf/chunk_reader.h"

#include <fcntl.h>

#include <boost/format.hpp>
#include <cstring>
#include <iostream>
#include <string>

#include "app/input_file.h"
#include "app/settings.h"
#include "smf/MIDITrack.h"
#include "smf/byte_swap.h"

static const uint64_t kTrackId = 0x4D54726B;  // "MTrk"
static const uint64_t kHeaderId = 0x4D546864; // "MThd"

// Reads the two bytes over the field as it stands: a read that fails leaves the old value
// (from an earlier header chunk), which is then swapped again like a read one.
static void readHeaderField(std::istream& in, int16_t* field) {
    uint16_t value = static_cast<uint16_t>(*field);
    in.read(reinterpret_cast<char*>(&value), 2);
    *field = static_cast<int16_t>(SwapShort(&value));
}

MIDITrack* readChunks(std::istream& in) {
    MIDITrack* head = nullptr;
    MIDITrack* tail = nullptr;
    int32_t trackCount = 0;
    while (!gIsDone) {
        char rawId[4];
        uint64_t id = 0;
        uint64_t length = 0;
        if (!in.read(rawId, 4))
            break;
        if (!in.read(reinterpret_cast<char*>(&length), 4))
            break;
        std::memcpy(&id, rawId, 4);
        SwapLong(&id);
        SwapLong(&length);
        if (gIsVerbose) {
            // The id printed as text stops at a zero byte.
            const std::string idText(rawId, strnlen(rawId, 4));
            std::cout << boost::format("%.4s (%08lx) %ld (%08lx)") % idText % long(id) %
                             long(length) % long(length)
                      << std::endl;
        }
        if (id == kTrackId) {
            if (gIsVerbose)
                std::cout << "Got midi track" << std::endl;
            MIDITrack* track = new MIDITrack(static_cast<int64_t>(length), in, trackCount++);
            if (tail == nullptr)
                head = track;
            else
                tail->nextTrack = track;
            tail = track;
        } else if (id == kHeaderId) {
            if (gIsVerbose)
                std::cout << "Got midi header" << std::endl;
            // Exactly six bytes, whatever length the chunk declares.
            readHeaderField(in, &gMidiHeader.format);
            readHeaderField(in, &gMidiHeader.tracks);
            readHeaderField(in, &gMidiHeader.division);
            std::cout << "format" << gMidiHeader.format << ", tracks " << gMidiHeader.tracks
                      << ", division " << gMidiHeader.division << std::endl;
        } else {
            std::cout << "Got unpexpected header" << std::endl;
            in.seekg(static_cast<std::streamoff>(length), std::ios::cur);
        }
        if (!in)
            break;
    }
    return head;
}

int openMidiFile(const char* fileName) {
    const int fd = open(fileName, O_RDONLY);
    if (fd < 0) {
        std::cout << "Can't open file " << fileName << std::endl;
        return -1;
    }
    std::cout << "Playing midi file ... quit with Ctrl-C." << std::endl;
    return fd;
}

MIDITrack* loadMidiFile(int fd) {
    InputFile file(fd);
    std::istream in(&file);
    return readChunks(in);
}
