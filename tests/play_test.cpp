// Playing files end to end: what reaches the port, in which order, and how a run ends.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

#include "e2e_player.h"
#include "smf_builder.h"

namespace {

using Messages = std::vector<std::string>;
const Bytes kEnd = {0x00, 0xFF, 0x2F, 0x00};

TEST(Play, ForwardsOnlyNotesAndControllersAsRead) {
    e2e::JackServer server;
    ASSERT_TRUE(server.ok());
    const Bytes track = cat({{0x00, 0xFF, 0x03, 0x01, 'T'},
                             {0x00, 0x90, 0x3C, 0x40},       // note on
                             {0x00, 0xA0, 0x3C, 0x10},       // aftertouch: not sent
                             {0x00, 0xB3, 0x07, 0x64},       // controller
                             {0x00, 0xF0, 0x02, 0x01, 0xF7}, // sysex: not sent
                             {0x00, 0x3E, 0x41},             // running status after sysex
                             {0x00, 0xC0, 0x05},             // program: not sent
                             {0x00, 0xD0, 0x30},             // pressure: not sent
                             {0x00, 0xE0, 0x00, 0x40},       // pitch bend: not sent
                             {0x10, 0x90, 0x3C, 0x00},       // velocity 0 stays a note on
                             {0x00, 0x8E, 0x3E, 0x7F},       // note off, any velocity
                             kEnd});
    const PlayRun run = playTo(server, e2e::writeTempFile(smf(0, 96, {track})));
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.messages, (Messages{"90 3c 40", "b3 07 64", "b3 3e 41", "90 3c 00", "8e 3e 7f",
                                      "b0 40 00", "b1 40 00"}));
}

TEST(Play, UnexpectedEventStopsAndSilencesWhatSounds) {
    e2e::JackServer server;
    ASSERT_TRUE(server.ok());
    const Bytes track = cat({{0x00, 0x92, 0x40, 0x40},
                             {0x00, 0x90, 0x40, 0x40},
                             {0x00, 0x9F, 0x3C, 0x40},
                             {0x00, 0x91, 0x3C, 0x40},
                             {0x00, 0x95, 0x41, 0x40},
                             {0x00, 0x95, 0x41, 0x00}, // already off again
                             {0x10, 0xF4, 0x00, 0x00},
                             {0x10, 0x90, 0x50, 0x40}, // never reached
                             kEnd});
    const PlayRun run = playTo(server, e2e::writeTempFile(smf(0, 96, {track})));
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_NE(run.result.out.find("Unexpected event: f4H\n"), std::string::npos);
    // Note first, then channel, both ascending.
    EXPECT_EQ(run.messages,
              (Messages{"92 40 40", "90 40 40", "9f 3c 40", "91 3c 40", "95 41 40", "95 41 00",
                        "91 3c 00", "9f 3c 00", "90 40 00", "92 40 00", "b0 40 00", "b1 40 00"}));
}

TEST(Play, OrdersTracksByFormat) {
    e2e::JackServer server;
    ASSERT_TRUE(server.ok());
    const Bytes a = {0x60, 0x90, 0x3C, 0x40, 0x00, 0x90, 0x3D, 0x40,
                     0x60, 0x80, 0x3C, 0x00, 0x00, 0x80, 0x3D, 0x00};
    const Bytes b = {0x60, 0x91, 0x40, 0x40, 0x00, 0x91, 0x41, 0x40,
                     0x30, 0x81, 0x40, 0x00, 0x00, 0x81, 0x41, 0x00};
    const Messages shutdown = {"b0 40 00", "b1 40 00"};
    struct Case {
        const char* what;
        Bytes file;
        Messages expected;
    };
    const Case cases[] = {
        // Same tick: one event per track per pass, in track order.
        {"format 1 merges by time",
         smf(1, 96, {a, b}),
         {"90 3c 40", "91 40 40", "90 3d 40", "91 41 40", "81 40 00", "81 41 00", "80 3c 00",
          "80 3d 00", "b0 40 00", "b1 40 00"}},
        {"format 2 plays one track after the other",
         smf(2, 96, {a, b}),
         {"90 3c 40", "90 3d 40", "80 3c 00", "80 3d 00", "91 40 40", "91 41 40", "81 40 00",
          "81 41 00", "b0 40 00", "b1 40 00"}},
        {"format 3 plays nothing", smf(3, 96, {a, b}), shutdown},
        // All at time zero: played while the track starts, then silenced at the end.
        {"zero-delta track",
         smf(1, 96, {{0x00, 0x90, 0x3C, 0x40, 0x00, 0x90, 0x3E, 0x40}}),
         {"90 3c 40", "90 3e 40", "90 3c 00", "90 3e 00", "b0 40 00", "b1 40 00"}},
    };
    for (const Case& c : cases) {
        const PlayRun run = playTo(server, e2e::writeTempFile(c.file), {"-f", "1200"});
        EXPECT_EQ(run.result.exitCode, 0) << c.what;
        EXPECT_EQ(run.messages, c.expected) << c.what;
    }
}

TEST(Play, SignalsEndALongWaitAtOnceAndSilence) {
    e2e::JackServer server;
    ASSERT_TRUE(server.ok());
    // A note on, and its note off ten seconds later.
    const std::string song = e2e::writeTempFile(
        smf(0, 96, {{0x00, 0x90, 0x3C, 0x40, 0x82, 0xE1, 0x00, 0x90, 0x3C, 0x00}}));
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        e2e::Capture synth(server, "synth");
        ASSERT_TRUE(synth.ok());
        e2e::Process player({VELOTAP_BIN, "-o", "1", song}, {server.envVar()});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const auto sent = std::chrono::steady_clock::now();
        player.signal(sig);
        const e2e::ProcResult r = player.wait(10);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
        EXPECT_EQ(r.exitCode, 0) << strsignal(sig);
        EXPECT_LT(took, 1.0) << strsignal(sig);
        EXPECT_EQ(hexes(synth.stop()), (Messages{"90 3c 40", "90 3c 00", "b0 40 00", "b1 40 00"}))
            << strsignal(sig);
    }
}

} // namespace
