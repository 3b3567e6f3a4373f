// Dispatch of a track's pending event, and the channel and system-exclusive events.
#include <boost/format.hpp>
#include <iostream>

#include "app/requests.h"
#include "app/settings.h"
#include "smf/MIDITrack.h"

void MIDITrack::playNextEvent() {
    if (atEnd)
        return;
    if (pendingByte == 0xF0 || pendingByte == 0xF7)
        playSysexEvent();
    else if (pendingByte == 0xFF)
        playMetaEvent();
    else
        playChannelEvent();
}

void MIDITrack::playSysexEvent() {
    const int32_t len = readVarnum();
    if (atEnd)
        return;
    // Data running past the end of the body ends the track, but the event is still reported.
    skipBytes(len);
    if (gIsVerbose)
        std::cout << "Sysex len=" << len << std::endl;
}

static void printHex3(uint8_t status, int data1, int data2) {
    std::cout << boost::format(" [%02x %02x %02x]") % int{status} % data1 % data2;
}

void MIDITrack::playChannelEvent() {
    uint8_t status;
    int data1;
    int data2 = 0;
    if (pendingByte & 0x80) {
        data1 = readByte();
        runningStatus = pendingByte;
        status = pendingByte;
    } else {
        // Running status: the pending byte was the first data byte.
        status = runningStatus;
        data1 = pendingByte;
        pendingByte = runningStatus;
    }
    if (((status | 0x10) & 0xF0) != 0xD0)
        data2 = readByte();
    // An event cut off by the end of the body is not performed.
    if (atEnd)
        return;

    const int kind = status & 0xF0;
    const int channel = status & 0x0F;
    if (kind == 0x80 || kind == 0x90 || kind == 0xB0) {
        // Ctrl-Z is honoured before the next message leaves, also in a burst that never waits.
        // A stop request that came while the player was stopped sends nothing more.
        if (!playMessage(outMessage, status, data1, data2))
            return;
        // Only real note numbers have an entry in the table.
        if (kind != 0xB0 && data1 < 128) {
            if (kind == 0x90 && data2 != 0)
                gSoundingFlags[data1] |= static_cast<uint16_t>(1u << channel);
            else
                gSoundingFlags[data1] &= static_cast<uint16_t>(~(1u << channel));
        }
    } else if (status < 0x80 || status >= 0xF0) {
        std::cout << "Unexpected event: " << boost::format("%02xH") % int{status} << std::endl;
        gIsDone = true;
        return;
    }
    if (!gIsVerbose)
        return;

    std::cout << "[" << curDelta;
    switch (kind) {
    case 0x80:
        std::cout << "] Note Off " << channel << " " << data1 << " " << data2 << " ";
        printHex3(status, data1, data2);
        break;
    case 0x90:
        std::cout << "] Note On " << channel << " " << data1 << " " << data2;
        printHex3(status, data1, data2);
        break;
    case 0xA0:
        std::cout << "] Aftertouch " << channel << " " << data1 << " " << data2;
        printHex3(status, data1, data2);
        break;
    case 0xB0:
        std::cout << "] CC " << channel << " " << data1 << " " << data2;
        printHex3(status, data1, data2);
        break;
    case 0xC0:
        std::cout << "] Program " << channel << " " << data1
                  << boost::format(" [%02x %02x]") % int{status} % data1;
        break;
    case 0xD0:
        std::cout << "] Pressure " << channel << " " << data1;
        break;
    default:
        std::cout << "] Pitchbend " << channel << " " << data1 << " " << data2;
        printHex3(status, data1, data2);
        break;
    }
    std::cout << std::endl;
}
