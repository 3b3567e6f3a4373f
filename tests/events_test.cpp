// Performing events: the lines printed, the sounding-note table, the tempo and the stop flag.
#include <gtest/gtest.h>

#include "smf_builder.h"

namespace {

// Performs every event of body (each preceded by its delta) and returns what was printed.
std::string perform(const Bytes& body, bool verbose) {
    gIsVerbose = verbose;
    MIDITrack* t = makeTrack(body);
    const std::string out = captureStdout([&] {
        t->startPlay();
        t->loadNextDelta();
        while (!t->atEnd && !gIsDone) {
            t->playNextEvent();
            t->loadNextDelta();
        }
    });
    delete t;
    return out;
}

Bytes meta(uint8_t type, const Bytes& data) {
    return cat({{0x00, 0xFF, type, uint8_t(data.size())}, data});
}

TEST(Events, VerboseLines) {
    const Bytes text300 = cat({{0x00, 0xFF, 0x01, 0x82, 0x2C}, Bytes(300, 'x')});
    struct Case {
        Bytes body;
        std::string out;
    };
    const Case cases[] = {
        {{0x60, 0x90, 0x3C, 0x64}, "[96] Note On 0 60 100 [90 3c 64]\n"},
        {{0x00, 0x80, 0x3C, 0x40}, "[0] Note Off 0 60 64  [80 3c 40]\n"},
        {{0x00, 0x91, 0x3C, 0x40, 0x60, 0x3C, 0x00},
         "[0] Note On 1 60 64 [91 3c 40]\n[96] Note On 1 60 0 [91 3c 00]\n"},
        {{0x00, 0xB0, 0x07, 0x64}, "[0] CC 0 7 100 [b0 07 64]\n"},
        {{0x00, 0xC5, 0x0A}, "[0] Program 5 10 [c5 0a]\n"},
        {{0x00, 0xD2, 0x30}, "[0] Pressure 2 48\n"},
        {{0x00, 0xE0, 0x00, 0x40}, "[0] Pitchbend 0 0 64 [e0 00 40]\n"},
        {{0x00, 0xA3, 0x3C, 0x20}, "[0] Aftertouch 3 60 32 [a3 3c 20]\n"},
        {{0x00, 0xF0, 0x05, 1, 2, 3, 4, 0xF7, 0x00, 0xF7, 0x00}, "Sysex len=5\nSysex len=0\n"},
        // Running status survives a meta event and a sysex event.
        {cat({{0x00, 0x92, 0x3C, 0x40},
              meta(0x01, {'h', 'i'}),
              {0x00, 0x3E, 0x41},
              {0x00, 0xF0, 0x01, 0xF7, 0x00, 0x40, 0x42}}),
         "[0] Note On 2 60 64 [92 3c 40]\nTEXT:hi\n[0] Note On 2 62 65 [92 3e 41]\n"
         "Sysex len=1\n[0] Note On 2 64 66 [92 40 42]\n"},
        {cat({meta(0x08, {1}), meta(0x7E, {}), meta(0x20, {0}), meta(0x54, {1, 2, 3, 4, 5}),
              meta(0x7F, {1, 2})}),
         "[0] Unknown Meta 08H 8\n[0] Unknown Meta 7eH 126\n"},
        {cat({meta(0x01, {}), meta(0x03, {'a', 0x00, 'b'}), meta(0x04, {'P'}), meta(0x05, {'l'}),
              meta(0x06, {'m'}), meta(0x07, {'c'}), meta(0x09, {'d'}),
              meta(0x02, {'(', 'c', ')'})}),
         "TEXT:\nTRACK NAME:a\nINSTRUMENT NAME:P\nLYRIC:l\nMARKER:m\nCUE POINT:c\nDEVICE NAME:d\n"
         "COPYRIGHT:(c)\n"},
        {cat({text300, meta(0x06, {'n'})}), "TEXT:" + std::string(256, 'x') + "\nMARKER:n\n"},
        {cat({meta(0x00, {1, 2}),
              meta(0x21, {0xFF}),
              meta(0x58, {4, 2, 24, 8}),
              meta(0x58, {6, 31, 24, 8}),
              meta(0x59, {0xFE, 0}),
              {0x83, 0x60, 0xFF, 0x2F, 0x00}}),
         "SEQ: ss1=1 ss2=2\nPORT: port=-1\nTIME SIG: 4/4 24 clocks-per-tick, 8 1/32 notes per "
         "quarter note\nTIME SIG: 6/0 24 clocks-per-tick, 8 1/32 notes per quarter note\n"
         "KEY SIG: sf=-2 mi=0\nEND OF TRACK #1 ticks=480\n"},
    };
    for (const Case& c : cases) {
        resetSettings();
        EXPECT_EQ(perform(c.body, true), c.out) << testing::PrintToString(c.body);
    }
}

TEST(Events, QuietRunPrintsOnlyTheAlwaysLines) {
    resetSettings();
    const Bytes body = cat({meta(0x03, {'T'}),
                            meta(0x02, {'C'}),
                            meta(0x06, {'M'}),
                            meta(0x01, {'x'}),
                            meta(0x05, {'y'}),
                            meta(0x58, {4, 2, 24, 8}),
                            meta(0x59, {0, 0}),
                            meta(0x00, {0, 1}),
                            {0x00, 0x90, 0x3C, 0x40},
                            {0x00, 0xF0, 0x00},
                            meta(0x51, {0x07, 0xA1, 0x20}),
                            {0x60, 0xFF, 0x2F, 0x00}});
    EXPECT_EQ(perform(body, false),
              "TRACK NAME:T\nCOPYRIGHT:C\nMARKER:M\n"
              "TEMPO (track 1) 500000 us per quarter note, 120 bpm, ticks=0 \n"
              "END OF TRACK #1 ticks=96\n");
}

TEST(Events, SoundingNotesAndUnexpectedStatus) {
    resetSettings();
    // On on channels 0 and 3, off on 0 (Note Off) and 3 (Note On velocity 0); 62 stays on.
    perform({0x00, 0x90, 0x3C, 0x40, 0x00, 0x93, 0x3C, 0x40, 0x00, 0x3E, 0x40, 0x00, 0x80, 0x3C,
             0x00, 0x00, 0x93, 0x3C, 0x00},
            false);
    EXPECT_EQ(gSoundingFlags[0x3C], 0);
    EXPECT_EQ(gSoundingFlags[0x3E], 1 << 3);

    // A note number beyond 127 is not recorded anywhere.
    resetSettings();
    perform({0x00, 0x90, 0xC8, 0x40}, false);
    for (uint16_t w : gSoundingFlags)
        EXPECT_EQ(w, 0);

    struct Case {
        Bytes body;
        std::string out;
    };
    const Case stops[] = {
        {{0x00, 0x3C, 0x40, 0x60, 0x90, 0x3C, 0x40}, "Unexpected event: 00H\n"},
        {{0x00, 0xF8, 0x01, 0x02, 0x60, 0x90, 0x3C, 0x40}, "Unexpected event: f8H\n"},
        {{0x00, 0xF4, 0x01, 0x02}, "Unexpected event: f4H\n"},
    };
    for (const Case& c : stops) {
        resetSettings();
        EXPECT_EQ(perform(c.body, false), c.out);
        EXPECT_TRUE(gIsDone);
        EXPECT_EQ(gSoundingFlags[0x3C], 0) << "nothing after the unexpected event is performed";
    }
}

TEST(Events, TempoScaleAndFixedTempo) {
    struct Case {
        float scale;
        bool fixed;
        int32_t raw;
        std::string line;
        int32_t tempoAfter;
    };
    const Case cases[] = {
        {1.0f, false, 500000, "500000 us per quarter note, 120 bpm, ticks=0 ", 500000},
        {2.0f, false, 500000, "1000000 us per quarter note, 60 bpm, ticks=0 ", 1000000},
        {0.5f, false, 500000, "250000 us per quarter note, 240 bpm, ticks=0 ", 250000},
        // The float nearest 0.9 times 500000, in single precision, is exactly 450000.
        {0.9f, false, 500000, "450000 us per quarter note, 133 bpm, ticks=0 ", 450000},
        {1.0f, true, 500000, "500000 us per quarter note, 120 bpm, ticks=0  IGNORED ", 300000},
        {1.0f, false, 0, "0 us per quarter note, 0 bpm, ticks=0 ", 0},
        {1e30f, false, 1, "2147483647 us per quarter note, 0 bpm, ticks=0 ", 2147483647},
        {-1e30f, false, 1, "-2147483648 us per quarter note, 0 bpm, ticks=0 ", INT32_MIN},
    };
    for (const Case& c : cases) {
        resetSettings();
        gTempoScale = c.scale;
        gFixedTempo = c.fixed;
        if (c.fixed)
            gTempo = 300000;
        const std::string out =
            perform(meta(0x51, {uint8_t(c.raw >> 16), uint8_t(c.raw >> 8), uint8_t(c.raw)}), false);
        EXPECT_EQ(out, "TEMPO (track 1) " + c.line + "\n");
        EXPECT_EQ(gTempo, c.tempoAfter);
    }
}

} // namespace
