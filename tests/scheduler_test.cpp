// The waits the player computes between events, read through the wait hook without sleeping:
// what the binary can show only with a stopwatch; and the sleep that a signal ends.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <iterator>
#include <sstream>
#include <tuple>
#include <utility>

#include "app/clock.h"
#include "app/requests.h"
#include "app/settings.h"
#include "app/signals.h"
#include "playback/scheduler.h"
#include "smf/MIDITrack.h"

std::vector<int64_t> gWaits;

// The waits of playing tracks (each a list of hex bytes) as a file of this format and division.
std::vector<int64_t> waitsOf(int format, int division, std::vector<std::string> tracks) {
    gTempo = 500000;
    gMidiHeader = {int16_t(format), int16_t(tracks.size()), int16_t(division)};
    gWaits.clear();
    MIDITrack* head = nullptr;
    for (auto t = tracks.rbegin(); t != tracks.rend(); ++t) {
        std::istringstream hex(*t), body;
        body.str(std::string(std::istream_iterator<int>(hex >> std::hex), {}));
        MIDITrack* track = new MIDITrack(int64_t(body.str().size()), body, 0);
        track->nextTrack = std::exchange(head, track);
    }
    playTracks(head, [](int64_t usec) { gWaits.push_back(usec); });
    deleteTracks(head);
    return gWaits;
}

using Case = std::tuple<const char*, int, int, std::vector<std::string>, std::vector<int64_t>>;
const std::string tempoAt96 = "00 90 3c 40 60 ff 51 03 03 d0 90 60 80 3c 40";
// clang-format off
const Case cases[] = {
    {"merged, tempo in another track", 1, 96,
     {"00 ff 51 03 03 d0 90 83 00 ff 2f 00", "00 90 3c 40 60 80 3c 40"}, {250000, 750000}},
    {"merged, a tempo change between two notes", 1, 96, {tempoAt96}, {500000, 250000}},
    {"sequential, other meta events are not waited for", 0, 96,
     {"00 90 3c 40 60 ff 06 01 4d 60 80 3c 40"}, {1000000}},
    // 120 bpm, then 60 from tick 960: the note at 1440 comes 2 s in, in either format.
    {"a tempo change in a rest, format 0", 0, 480,
     {"00 90 3c 40 83 60 80 3c 00 83 60 ff 51 03 0f 42 40 83 60 90 3e 40"}, {500000, 500000, 1000000}},
    {"a tempo change in a rest, format 1", 1, 480,
     {"87 40 ff 51 03 0f 42 40", "00 90 3c 40 83 60 80 3c 00 87 40 90 3e 40"},
     {500000, 500000, 1000000}},
    // 1041.67 us a tick: whole microseconds, with what is cut off carried along.
    {"division 480", 0, 480, {"01 90 3c 40 01 80 3c 00 01 90 3c 40"}, {1041, 1042, 1042}},
    {"format 2 times each track from its start", 2, 96, {"60 90 3c 40", "30 90 3d 40"},
     {500000, 250000}},
    {"division 0 plays without pauses", 0, 0, {"60 90 3c 40"}, {}},
    {"SMPTE 25 fps, 40 ticks a frame", 0, -6360, {"01 90 3c 40 81 00 80 3c 00"}, {1000, 128000}},
    {"SMPTE 29.97 fps", 0, -7423, {"01 90 3c 40 01 90 3d 40 01 90 3e 40"}, {33366, 33367, 33367}},
};
// clang-format on

TEST(Scheduler, ComputesWaits) {
    for (const auto& [what, format, division, tracks, waits] : cases)
        EXPECT_EQ(waitsOf(format, division, tracks), waits) << what;
}

// A wait of 3e9 s (95 years), more than a 32-bit time_t holds, is a wait all the same: another
// signal does not end it, and a stop request ends it at once. (A wait that never ends is ended by
// ctest's timeout.)
static void onAlarm(int) {
    static volatile sig_atomic_t alarms = 0;
    if (++alarms == 2)
        finish(0); // as a Ctrl-C does
}

TEST(Wait, LongWaitEndsOnStop) {
    openWakeUp();
    signal(SIGALRM, onAlarm);
    itimerval every100ms = {{0, 100000}, {0, 100000}}, off = {};
    setitimer(ITIMER_REAL, &every100ms, nullptr);
    const int64_t start = nowMicroseconds();
    int64_t deadline = start + int64_t{3000000000} * 1000000;
    const Woken woken = waitUntil(&deadline, true);
    const int64_t waited = nowMicroseconds() - start;
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_EQ(woken, Woken::kStopped);
    // Ended by the stop, 0.2 s in: not before it, nor long after.
    EXPECT_GE(waited, 190000);
    EXPECT_LT(waited, 1000000);
}
