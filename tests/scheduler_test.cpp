// The waits the player computes between events, without sleeping.
#include <gtest/gtest.h>

#include "playback/scheduler.h"
#include "smf_builder.h"

namespace {

std::vector<int64_t> gWaits;
void recordWait(int64_t usec) {
    gWaits.push_back(usec);
}

// Loads file as the player would, plays it with recorded waits, and returns them.
std::vector<int64_t> waitsOf(int format, int division, std::initializer_list<Bytes> tracks) {
    resetSettings();
    gWaits.clear();
    gMidiHeader = {int16_t(format), int16_t(tracks.size()), int16_t(division)};
    MIDITrack* head = nullptr;
    MIDITrack** link = &head;
    int32_t index = 0;
    for (const Bytes& body : tracks) {
        *link = makeTrack(body, index++);
        link = &(*link)->nextTrack;
    }
    captureStdout([&] { playTracks(head, recordWait); });
    deleteTracks(head);
    return gWaits;
}

const Bytes kEnd = {0x00, 0xFF, 0x2F, 0x00};

TEST(Scheduler, ComputesWaits) {
    struct Case {
        const char* what;
        int format;
        int division;
        std::vector<Bytes> tracks;
        std::vector<int64_t> waits;
    };
    const Bytes tempoTrack = {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1,
                              0x20, 0x83, 0x00, 0xFF, 0x2F, 0x00};
    const Bytes noteTrack = {0x00, 0xC0, 0x00, 0x00, 0x90, 0x3C, 0x40, 0x60,
                             0x80, 0x3C, 0x40, 0x00, 0xFF, 0x2F, 0x00};
    // Note on at 0, tempo 250000 at 96, note off at 192.
    const Bytes tempoBetween = {0x00, 0x90, 0x3C, 0x40, 0x60, 0xFF, 0x51, 0x03, 0x03, 0xD0,
                                0x90, 0x60, 0x80, 0x3C, 0x40, 0x00, 0xFF, 0x2F, 0x00};
    const Case cases[] = {
        {"merged, worked example", 1, 96, {tempoTrack, noteTrack}, {500000, 1500000}},
        {"merged, tempo between notes", 1, 96, {tempoBetween}, {500000, 250000}},
        {"sequential, tempo between notes", 0, 96, {tempoBetween}, {500000}},
        // 1041.67 us a tick: whole microseconds, with what is cut off carried along.
        {"division 480 truncates and carries",
         0,
         480,
         {{0x01, 0x90, 0x3C, 0x40, 0x01, 0x80, 0x3C, 0x00, 0x01, 0x90, 0x3C, 0x40}},
         {1041, 1042, 1042}},
        {"format 2 times each track from its own start",
         2,
         96,
         {{0x60, 0x90, 0x3C, 0x40}, {0x30, 0x90, 0x3D, 0x40}},
         {500000, 250000}},
        {"zero deltas never wait",
         1,
         96,
         {{0x00, 0x90, 0x3C, 0x40, 0x80, 0x00, 0x80, 0x3C, 0x00}},
         {}},
        {"division 0 plays without pauses", 0, 0, {{0x60, 0x90, 0x3C, 0x40}}, {}},
        {"format 3 plays nothing", 3, 96, {{0x60, 0x90, 0x3C, 0x40}}, {}},
        // 25 frames of 40 ticks: 1000 us per tick, from the absolute tick count.
        {"SMPTE 25 fps",
         0,
         int16_t(0xE728),
         {{0x01, 0x90, 0x3C, 0x40, 0x81, 0x00, 0x80, 0x3C, 0x00}},
         {1000, 128000}},
        // 29.97 fps, 1 tick per frame: 33366.67 us per tick, no rounding carried along.
        {"SMPTE 29.97 fps",
         0,
         int16_t(0xE301),
         {{0x01, 0x90, 0x3C, 0x40, 0x01, 0x90, 0x3D, 0x40, 0x01, 0x90, 0x3E, 0x40}},
         {33366, 33367, 33367}},
        {"unknown SMPTE rate plays without pauses",
         0,
         int16_t(0xE028),
         {{0x60, 0x90, 0x3C, 0x40}},
         {}},
    };
    for (const Case& c : cases) {
        resetSettings();
        std::vector<int64_t> waits;
        switch (c.tracks.size()) {
        case 1:
            waits = waitsOf(c.format, c.division, {c.tracks[0]});
            break;
        default:
            waits = waitsOf(c.format, c.division, {c.tracks[0], c.tracks[1]});
            break;
        }
        EXPECT_EQ(waits, c.waits) << c.what;
    }
}

// Events of several tracks on the same tick alternate, one per track per pass.
TEST(Scheduler, MergedPlayInterleavesTracksOnTheSameTick) {
    resetSettings();
    gIsVerbose = true;
    gMidiHeader = {1, 2, 96};
    MIDITrack* a = makeTrack({0x60, 0xC0, 0x01, 0x00, 0xC0, 0x02}, 0);
    a->nextTrack = makeTrack({0x60, 0xC1, 0x03, 0x00, 0xC1, 0x04}, 1);
    const std::string out = captureStdout([&] { playTracks(a, recordWait); });
    deleteTracks(a);
    EXPECT_EQ(out, "[96] Program 0 1 [c0 01]\n[96] Program 1 3 [c1 03]\n"
                   "[0] Program 0 2 [c0 02]\n[0] Program 1 4 [c1 04]\n");
}

} // namespace
