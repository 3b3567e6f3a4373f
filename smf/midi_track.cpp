#include <algorithm>
#include <cstring>

#include "app/settings.h"
#include "smf/MIDITrack.h"

// Bytes left in a seekable stream, or -1 when its size cannot be known (a pipe).
static int64_t bytesLeft(std::istream& in) {
    const std::streampos here = in.tellg();
    if (here < 0)
        return -1;
    in.seekg(0, std::ios::end);
    const std::streampos end = in.tellg();
    in.seekg(here);
    return end < here ? -1 : static_cast<int64_t>(end - here);
}

MIDITrack::MIDITrack(int64_t length, std::istream& in, int32_t index)
    : textBuffer(new char[257]), trackIndex(index) {
    textBuffer[0] = '\0';
    length = std::max<int64_t>(length, 0);
    // The declared length is not trusted for memory: never allocate more than the file holds.
    const int64_t left = bytesLeft(in);
    int64_t capacity = left >= 0 ? std::min(length, left) : std::min<int64_t>(length, 1 << 16);
    trackData = new uint8_t[capacity];
    for (;;) {
        in.read(reinterpret_cast<char*>(trackData) + trackLength, capacity - trackLength);
        trackLength += in.gcount();
        if (!in || trackLength >= length || left >= 0)
            break;
        // A stream of unknown size: grow as its bytes arrive.
        const int64_t grown = std::min(length, capacity * 2);
        uint8_t* bigger = new uint8_t[grown];
        std::memcpy(bigger, trackData, trackLength);
        delete[] trackData;
        trackData = bigger;
        capacity = grown;
    }
    // A body cut short by the end of the file is kept as read; loading stops after it.
    if (trackLength < length)
        in.setstate(std::ios::failbit);
}

MIDITrack::~MIDITrack() {
    delete[] trackData;
    delete[] textBuffer;
}

// True, after ending the track, when count more bytes are not all inside the body.
bool MIDITrack::overrun(int64_t count) {
    if (count >= 0 && count <= trackLength - readPos)
        return false;
    readPos = trackLength;
    atEnd = true;
    return true;
}

int32_t MIDITrack::readVarnum() {
    uint32_t value = 0;
    for (;;) {
        if (overrun(1))
            return 0;
        const uint8_t byte = trackData[readPos++];
        value = (value << 7) | (byte & 0x7F);
        if ((byte & 0x80) == 0)
            break;
    }
    // Over-long quantities keep their low 32 bits, which may read as negative.
    return static_cast<int32_t>(value);
}

int32_t MIDITrack::read24Bits() {
    if (overrun(3))
        return 0;
    const uint8_t* p = trackData + readPos;
    readPos += 3;
    return (p[0] << 16) | (p[1] << 8) | p[2];
}

int MIDITrack::readByte() {
    if (overrun(1))
        return 0;
    return trackData[readPos++];
}

void MIDITrack::skipBytes(int64_t count) {
    if (!overrun(count))
        readPos += count;
}

char* MIDITrack::getText(char* dest, int32_t len) {
    // A text running past the end of the body keeps the part inside it, and ends the track.
    const int64_t inside = std::clamp<int64_t>(len, 0, trackLength - readPos);
    const int64_t kept = std::min<int64_t>(inside, 256);
    const uint8_t* src = trackData + readPos;
    // Copy up to the first NUL and fill the rest with NULs.
    int64_t i = 0;
    for (; i < kept && src[i] != 0; ++i)
        dest[i] = static_cast<char>(src[i]);
    std::memset(dest + i, 0, kept + 1 - i);
    skipBytes(len);
    return dest;
}

void MIDITrack::startPlay() {
    readPos = 0;
    eventTime = 0;
    runningStatus = 0;
    atEnd = false;
    outMessage.assign(3, 0);
    // Only a delta written as the single byte 0 counts as "at the very start". A stop request
    // (or an event that cannot be decoded) ends these too: a file may hold thousands.
    while (!gIsDone && !atEnd && readPos < trackLength && trackData[readPos] == 0) {
        ++readPos;
        curDelta = 0;
        pendingByte = static_cast<uint8_t>(readByte());
        playNextEvent();
    }
}

void MIDITrack::loadNextDelta() {
    if (atEnd)
        return;
    if (readPos >= trackLength) {
        atEnd = true;
        return;
    }
    const int32_t delta = readVarnum();
    curDelta = delta;
    // A negative value only comes from a malformed quantity of five or more bytes.
    if (delta > 0)
        eventTime += delta;
    pendingByte = static_cast<uint8_t>(readByte());
}
