// The meta-event branch of playNextEvent: tempo, end of track, and the reported texts.
#include <boost/format.hpp>
#include <cmath>
#include <iostream>

#include "app/settings.h"
#include "smf/MIDITrack.h"

// The file's tempo times the scale, in single precision as the user typed it; outside the
// 32-bit range it saturates, and a scale that is not a number gives 0.
static int32_t scaledTempo(int32_t raw) {
    if (gTempoScale == 1.0f)
        return raw;
    const float product = gTempoScale * static_cast<float>(raw);
    if (std::isnan(product))
        return 0;
    if (product >= 2147483648.0f)
        return INT32_MAX;
    if (product <= -2147483648.0f)
        return INT32_MIN;
    return static_cast<int32_t>(product);
}

static const char* textLabel(int type) {
    switch (type) {
    case 0x01:
        return "TEXT:";
    case 0x02:
        return "COPYRIGHT:";
    case 0x03:
        return "TRACK NAME:";
    case 0x04:
        return "INSTRUMENT NAME:";
    case 0x05:
        return "LYRIC:";
    case 0x06:
        return "MARKER:";
    case 0x07:
        return "CUE POINT:";
    case 0x09:
        return "DEVICE NAME:";
    default:
        return nullptr;
    }
}

void MIDITrack::playMetaEvent() {
    const int type = readByte();
    const int32_t length = readVarnum();
    if (atEnd)
        return;

    if (const char* label = textLabel(type)) {
        // A text cut off by the end of the body prints what of it is there.
        getText(textBuffer, length);
        const bool always = type == 0x02 || type == 0x03 || type == 0x06;
        if (always || gIsVerbose)
            std::cout << label << textBuffer << std::endl;
        return;
    }

    switch (type) {
    case 0x00: {
        const int ss1 = readByte();
        const int ss2 = readByte();
        if (!atEnd && gIsVerbose)
            std::cout << "SEQ: ss1=" << ss1 << " ss2=" << ss2 << std::endl;
        break;
    }
    case 0x20:
    case 0x54:
    case 0x7F:
        skipBytes(length);
        break;
    case 0x21: {
        const int port = static_cast<int8_t>(readByte());
        if (!atEnd)
            std::cout << "PORT: port=" << port << std::endl;
        break;
    }
    case 0x2F:
        std::cout << "END OF TRACK #" << trackIndex + 1 << " ticks=" << eventTime << std::endl;
        atEnd = true;
        break;
    case 0x51: {
        const int32_t tempo = scaledTempo(read24Bits());
        if (atEnd)
            break;
        const int32_t bpm = tempo == 0 ? 0 : 60000000 / tempo;
        std::cout << boost::format("TEMPO (track %d) %d us per quarter note, %d bpm, ticks=%d %s") %
                         (trackIndex + 1) % tempo % bpm % eventTime %
                         (gFixedTempo ? " IGNORED " : "")
                  << std::endl;
        if (!gFixedTempo)
            gTempo = tempo;
        break;
    }
    case 0x58: {
        const int nn = readByte();
        const int dd = readByte();
        const int cc = readByte();
        const int bb = readByte();
        // A denominator beyond the printed int's range is shown as 0.
        const int32_t denominator = dd <= 30 ? (1 << dd) : 0;
        if (!atEnd && gIsVerbose)
            std::cout << "TIME SIG: " << nn << "/" << denominator << " " << cc
                      << " clocks-per-tick, " << bb << " 1/32 notes per quarter note\n";
        break;
    }
    case 0x59: {
        const int sf = static_cast<int8_t>(readByte());
        const int mi = readByte();
        if (!atEnd && gIsVerbose)
            std::cout << "KEY SIG: sf=" << sf << " mi=" << mi << std::endl;
        break;
    }
    default:
        skipBytes(length);
        std::cout << "[" << curDelta << "] Unknown Meta " << boost::format("%02xH %d") % type % type
                  << std::endl;
        break;
    }
}
