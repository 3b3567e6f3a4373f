// The in-memory track: its cursor, its read primitives, and what it does with malformed bodies.
#include <gtest/gtest.h>

#include <cstring>

#include "smf_builder.h"

namespace {

struct VarnumCase {
    Bytes bytes;
    int32_t value;
    int64_t endPos;
};

TEST(TrackCursor, ReadsVariableLengthQuantities) {
    const VarnumCase cases[] = {
        {{0x00}, 0, 1},
        {{0x7F}, 127, 1},
        {{0x81, 0x00}, 128, 2},
        {{0x83, 0xFF, 0x7F}, 65535, 3},
        {{0xFF, 0xFF, 0xFF, 0x7F}, 0x0FFFFFFF, 4},
        // Over-long: only the low 32 bits are kept, here all ones.
        {{0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, -1, 5},
        {{0x81, 0x80, 0x80, 0x80, 0x80, 0x00}, 0, 6},
    };
    for (const VarnumCase& c : cases) {
        MIDITrack* t = makeTrack(cat({c.bytes, {0x42}}));
        EXPECT_EQ(t->readVarnum(), c.value);
        EXPECT_EQ(t->readPos, c.endPos);
        EXPECT_FALSE(t->atEnd);
        delete t;
    }
}

TEST(TrackCursor, GetTextCutsAt256AndAtNul) {
    Bytes text(300, 'a');
    text[299] = 'z';
    MIDITrack* t = makeTrack(cat({text, {0x01}}));
    t->getText(t->textBuffer, 300);
    EXPECT_EQ(std::string(t->textBuffer), std::string(256, 'a'));
    EXPECT_EQ(t->readPos, 300);
    delete t;

    t = makeTrack({'a', 'b', 0x00, 'c', 'd', 0x01});
    std::memset(t->textBuffer, 'x', 257);
    t->getText(t->textBuffer, 5);
    EXPECT_STREQ(t->textBuffer, "ab");
    EXPECT_EQ(t->textBuffer[4], '\0');
    EXPECT_EQ(t->readPos, 5);
    delete t;
}

TEST(TrackCursor, StartPlayPerformsOnlyOneByteZeroDeltas) {
    resetSettings();
    // Two note-ons at time 0, then a note-off after 96 ticks.
    MIDITrack* t =
        makeTrack({0x00, 0x90, 0x3C, 0x40, 0x00, 0x90, 0x40, 0x40, 0x60, 0x80, 0x3C, 0x00});
    t->startPlay();
    EXPECT_EQ(gSoundingFlags[0x3C], 1);
    EXPECT_EQ(gSoundingFlags[0x40], 1);
    t->loadNextDelta();
    EXPECT_EQ(t->eventTime, 96);
    EXPECT_EQ(t->curDelta, 96);
    EXPECT_EQ(t->pendingByte, 0x80);
    delete t;

    // A zero written in two bytes is left to loadNextDelta.
    t = makeTrack({0x80, 0x00, 0x90, 0x3C, 0x40});
    t->startPlay();
    EXPECT_EQ(gSoundingFlags[0x3C], 1); // from the previous track only
    EXPECT_EQ(t->readPos, 0);
    t->loadNextDelta();
    EXPECT_EQ(t->curDelta, 0);
    EXPECT_EQ(t->eventTime, 0);
    EXPECT_EQ(t->pendingByte, 0x90);
    delete t;

    // End of Track at time 0 stops the loop even with zero bytes after it.
    t = makeTrack({0x00, 0xFF, 0x2F, 0x00, 0x00, 0x90, 0x3D, 0x40});
    captureStdout([&] { t->startPlay(); });
    EXPECT_TRUE(t->atEnd);
    EXPECT_EQ(gSoundingFlags[0x3D], 0);
    delete t;
}

// Bodies that run off their end in every way a track can. Each must end the track having read
// nothing outside the body (AddressSanitizer watches), without sending the cut-off event.
TEST(TrackCursor, MalformedBodiesEndTheTrack) {
    const Bytes bodies[] = {
        {},                                                    // empty
        {0x81},                                                // delta cut short
        {0x00, 0x90},                                          // note on without data
        {0x00, 0x90, 0x3C},                                    // note on without velocity
        {0x00, 0xF0, 0x85},                                    // sysex length cut short
        {0x00, 0xF0, 0x7F, 0x01},                              // sysex longer than the body
        {0x00, 0xF0, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F},            // sysex of negative length
        {0x00, 0xFF, 0x03, 0x20, 'a', 'b'},                    // text longer than the body
        {0x00, 0xFF, 0x03, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 'a'}, // text of negative length
        {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1},                  // tempo cut short
        {0x00, 0xFF, 0x58, 0x04, 0x04},                        // time signature cut short
        {0x00, 0xFF, 0x7F, 0x90, 0x00, 0x00},                  // skipped data past the end
        {0x00, 0xFF},                                          // meta type missing
        {0x60, 0x90},                                          // a timed event cut short
        {0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0x2F, 0x00},      // negative delta, not added
    };
    for (const Bytes& body : bodies) {
        resetSettings();
        MIDITrack* t = makeTrack(body);
        const std::string out = captureStdout([&] {
            t->startPlay();
            for (int i = 0; i < 10 && !t->atEnd; ++i) {
                t->loadNextDelta();
                t->playNextEvent();
            }
        });
        EXPECT_TRUE(t->atEnd) << testing::PrintToString(body);
        EXPECT_LE(t->readPos, t->trackLength);
        EXPECT_GE(t->eventTime, 0);
        EXPECT_EQ(gSoundingFlags[0x3C], 0) << "a cut-off note must not count as sounding";
        EXPECT_EQ(out.find("TEMPO"), std::string::npos);
        delete t;
    }
}

} // namespace
