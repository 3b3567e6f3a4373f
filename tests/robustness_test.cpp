// However a run ends, and whatever the file holds: exit status 0, no sanitizer report, and
// nothing left sounding on the port.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "e2e_player.h"
#include "smf_builder.h"

namespace {

Bytes vlq(uint32_t v) {
    Bytes out = {uint8_t(v & 0x7F)};
    while (v >>= 7)
        out.insert(out.begin(), uint8_t(0x80 | (v & 0x7F)));
    return out;
}

// About two seconds of overlapping notes on six channels, with the sustain pedal going down
// and up on channels 1 and 2, in three tracks.
Bytes busySong() {
    Bytes tempo = {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20};
    Bytes pedals, chords;
    for (int beat = 0; beat < 16; ++beat) {
        const uint8_t down = beat % 4 == 3 ? 0x00 : 0x7F;
        pedals = cat({pedals,
                      {0x00, 0xB0, 0x40, down, 0x00, 0xB1, 0x40, down},
                      {0x00, 0x90},
                      {uint8_t(48 + beat), 0x50},
                      {0x00, 0x91, uint8_t(50 + beat), 0x50},
                      {0x30, 0x80, uint8_t(48 + beat), 0x40, 0x00, 0x81, uint8_t(50 + beat), 0x40},
                      {0x30, 0xFF, 0x01, 0x00}});
        for (int ch = 2; ch < 6; ++ch)
            chords = cat({chords, {0x00, uint8_t(0x90 + ch), uint8_t(60 + ch + beat % 5), 0x60}});
        chords = cat({chords, vlq(90)});
        for (int ch = 2; ch < 6; ++ch)
            chords = cat({chords, {uint8_t(0x90 + ch), uint8_t(60 + ch + beat % 5), 0x00, 0x00}});
        chords.pop_back();
        chords = cat({chords, {0x06, 0xFF, 0x01, 0x00}});
    }
    const Bytes end = {0x00, 0xFF, 0x2F, 0x00};
    return smf(
        1, 96,
        {cat({tempo, vlq(96 * 16), {0xFF, 0x2F, 0x00}}), cat({pedals, end}), cat({chords, end})});
}

int noteOns(const std::vector<e2e::MidiEvent>& events) {
    int count = 0;
    for (const e2e::MidiEvent& e : events)
        count += (e.bytes[0] & 0xF0) == 0x90 && e.bytes[2] != 0;
    return count;
}

// The file sweeps are about what the sanitizers find: they run in the sanitizer build only.
#define SANITIZER_BUILD_ONLY()                                                                     \
    if (!VELOTAP_SANITIZED)                                                                        \
    GTEST_SKIP() << "runs in the sanitizer build"

bool sanitizerSpoke(const std::string& err) {
    return err.find("runtime error") != std::string::npos ||
           err.find("Sanitizer") != std::string::npos;
}

TEST(Robustness, EveryWayOfStoppingLeavesNothingSounding) {
    e2e::JackServer server;
    ASSERT_TRUE(server.ok());
    const std::string song = e2e::writeTempFile(busySong());
    // Played at 480 bpm: about two seconds.
    const std::vector<std::string> args = {"-t", "0.25"};
    const PlayRun whole = playTo(server, song, args);
    ASSERT_EQ(whole.result.exitCode, 0);
    ASSERT_EQ(noteOns(whole.events), 16 * 6);
    EXPECT_EQ(leftSounding(whole.events), std::vector<std::string>{});

    std::random_device seed;
    std::mt19937 random(seed());
    std::uniform_int_distribution<int> moment(0, 1800);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        for (int run = 0; run < 3; ++run) {
            e2e::Capture synth(server, "synth");
            ASSERT_TRUE(synth.ok());
            e2e::Process player({VELOTAP_BIN, "-o", "1", "-t", "0.25", song}, {server.envVar()});
            // Signals end the run in order once it plays; before that they simply end it.
            for (int i = 0; i < 500 && player.outSoFar().find("Playing") == std::string::npos; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const int ms = moment(random);
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            player.signal(sig);
            const e2e::ProcResult r = player.wait(10);
            const auto events = synth.stop();
            EXPECT_EQ(r.exitCode, 0) << strsignal(sig) << " after " << ms << " ms: signal "
                                     << r.termSignal << (r.timedOut ? ", timed out" : "") << "\n"
                                     << r.err;
            EXPECT_EQ(leftSounding(events), std::vector<std::string>{})
                << strsignal(sig) << " after " << ms << " ms";
        }
    }

    // Standard output closed early: playing goes on to the end and still silences.
    for (int run = 0; run < 2; ++run) {
        e2e::Capture synth(server, "synth");
        ASSERT_TRUE(synth.ok());
        e2e::Process player({"bash", "-c",
                             "set -o pipefail; '" VELOTAP_BIN "' -v -o 1 -t 0.25 '" + song +
                                 "' | head -c 300 >/dev/null"},
                            {server.envVar()});
        const e2e::ProcResult r = player.wait(20);
        const auto events = synth.stop();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(noteOns(events), 16 * 6);
        EXPECT_EQ(leftSounding(events), std::vector<std::string>{});
    }
}

TEST(Robustness, PlaysEveryPeerTestFile) {
    SANITIZER_BUILD_ONLY();
    const std::filesystem::path corpus =
        std::filesystem::path(PROJECT_DIR) / "../shared/corpus/peer";
    if (!std::filesystem::is_directory(corpus))
        GTEST_SKIP() << "no peer corpus at " << corpus;
    e2e::JackServer server;
    ASSERT_TRUE(server.ok());
    int played = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        if (entry.path().extension() != ".mid")
            continue;
        // A fixed tempo of 0 microseconds per beat: every file at full speed.
        const PlayRun run = playTo(server, entry.path(), {"-v", "-f", "100000000"});
        const std::string name = entry.path().filename();
        EXPECT_EQ(run.result.exitCode, 0) << name;
        EXPECT_FALSE(run.result.timedOut) << name;
        EXPECT_FALSE(sanitizerSpoke(run.result.err)) << name << "\n" << run.result.err;
        EXPECT_EQ(leftSounding(run.events), std::vector<std::string>{}) << name;
        ++played;
    }
    EXPECT_EQ(played, 72);
}

// Malformed files: truncated anywhere, absurd lengths, runs of FF and 80, extreme header
// fields. Each run must end by itself, normally and silently.
TEST(Robustness, SurvivesMalformedFiles) {
    SANITIZER_BUILD_ONLY();
    const Bytes track = {0x00, 0xFF, 0x03, 0x02, 'h',  'i',  0x00, 0x90, 0x3C, 0x40, 0x00,
                         0xF0, 0x02, 0x01, 0xF7, 0x10, 0xB0, 0x40, 0x7F, 0x00, 0xFF, 0x51,
                         0x03, 0x00, 0x10, 0x00, 0x10, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00};
    const Bytes good = smf(1, 96, {track, track});
    std::vector<Bytes> files;
    for (size_t cut = 1; cut < good.size(); cut += 3)
        files.push_back(Bytes(good.begin(), good.begin() + cut));
    const Bytes huge = {0xFF, 0xFF, 0xFF, 0xFF};
    files.push_back(cat({header(1, 1, 96), {'M', 'T', 'r', 'k'}, huge, track}));
    files.push_back(cat({header(1, 1, 96), {'X', 'X', 'X', 'X'}, huge, chunk("MTrk", track)}));
    files.push_back(smf(0, 96, {cat({{0x00, 0xF0}, {0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, track})}));
    files.push_back(smf(0, 96, {cat({{0x00, 0xFF, 0x01}, {0x87, 0xFF, 0xFF, 0x7F}, track})}));
    files.push_back(smf(0, 96, {cat({track, Bytes(200, 0xFF)})}));
    files.push_back(smf(0, 96, {cat({track, Bytes(200, 0x80)})}));
    files.push_back(smf(0, 96, {cat({Bytes(200, 0x80), {0x00, 0x90, 0x3C, 0x40}})}));
    const int extremes[][2] = {{0, 0},           {1, 1},           {2, 0x7FFF},
                               {0x7FFF, 0x8000}, {0x8000, 0xE728}, {0xFFFF, 0xFFFF}};
    for (const auto& [format, division] : extremes)
        files.push_back(cat({header(format, 0xFFFF, division), chunk("MTrk", track)}));

    e2e::JackServer server;
    ASSERT_TRUE(server.ok());
    for (size_t i = 0; i < files.size(); ++i) {
        const PlayRun run = playTo(server, e2e::writeTempFile(files[i]), {"-v"});
        EXPECT_EQ(run.result.exitCode, 0) << "file " << i;
        EXPECT_FALSE(run.result.timedOut) << "file " << i;
        EXPECT_FALSE(sanitizerSpoke(run.result.err)) << "file " << i << "\n" << run.result.err;
        EXPECT_EQ(leftSounding(run.events), std::vector<std::string>{}) << "file " << i;
    }
}

} // namespace
