// The command line, port listing and opening, and the clear-notes mode, run as a user would:
// the real binary against a private JACK server, with what arrives on the port captured.
#include <gtest/gtest.h>

#include "e2e_player.h"
#include "smf_builder.h"

namespace {

const std::string kUsage = "\nUsage: velotap [options] filename\n"
                           "    -o #   output port (default = virtual)\n"
                           "    -v     verbose\n"
                           "    -l     list output ports\n"
                           "    -c     clear notes\n"
                           "    -t     tempo scale (def=1.0)\n"
                           "    -f     fixed tempo (specified in bpm - ignores tempo directives)\n"
                           "\n";

e2e::ProcResult velotap(const std::vector<std::string>& args, const std::string& env = "") {
    std::vector<std::string> argv = {VELOTAP_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    e2e::Process p(argv, env.empty() ? std::vector<std::string>{} : std::vector<std::string>{env});
    return p.wait(30);
}

TEST(CommandLine, PrintsUsageAndExitsZero) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-x", "song.mid"},
        {"-"},
        {"--"},
        {"-o3", "song.mid"},
        {"-v"},
        {"song.mid", "-o"},
        {"-f", "0", "song.mid"},
        {"-f", "abc", "song.mid"},
        {"-L"},
        {"song.mid", "-t"},
    };
    for (const auto& args : cases) {
        // No MIDI system at all: the usage text must come before any attempt to reach one.
        const e2e::ProcResult r = velotap(args, "JACK_DEFAULT_SERVER=velotap-none");
        EXPECT_EQ(r.out, kUsage) << testing::PrintToString(args);
        EXPECT_EQ(r.err, "") << testing::PrintToString(args);
        EXPECT_EQ(r.exitCode, 0) << testing::PrintToString(args);
    }
}

TEST(CommandLine, ListsPorts) {
    e2e::JackServer server;
    ASSERT_TRUE(server.ok());
    e2e::ProcResult r = velotap({"-l"}, server.envVar());
    EXPECT_EQ(r.out, "\nThere are 0 MIDI output ports available.\n\n");
    EXPECT_EQ(r.exitCode, 0);

    e2e::Capture synthA(server, "synthA");
    e2e::Capture synthB(server, "synthB");
    ASSERT_TRUE(synthA.ok() && synthB.ok());
    // -o, -c and the file name are ignored in list mode; -h and -p are the same as -l.
    for (const char* flag : {"-l", "-h", "-p"}) {
        r = velotap({flag, "-o", "2", "-c", "/no/such.mid"}, server.envVar());
        EXPECT_EQ(r.out, "\nThere are 2 MIDI output ports available.\n"
                         "  Output Port #1: synthA:in\n  Output Port #2: synthB:in\n\n");
        EXPECT_EQ(r.exitCode, 0);
    }
    EXPECT_TRUE(synthA.stop().empty());
    EXPECT_TRUE(synthB.stop().empty());
}

TEST(CommandLine, OpensNumberedPortOrRefusesAnInvalidOne) {
    e2e::JackServer server;
    ASSERT_TRUE(server.ok());
    e2e::Capture synth(server, "synth");
    ASSERT_TRUE(synth.ok());
    const std::string song = e2e::writeTempFile(smf(0, 96, {{0x00, 0x90, 0x3C, 0x40}}));

    e2e::ProcResult r = velotap({"-o", "2", song}, server.envVar());
    EXPECT_EQ(r.out, "Invalid output port specifier!\n");
    EXPECT_EQ(r.exitCode, 0);

    r = velotap({song, "-o", "1"}, server.envVar());
    EXPECT_EQ(r.out, "  Output Port #1: synth:in\nPlaying midi file ... quit with Ctrl-C.\n"
                     "format0, tracks 1, division 96\n");
    EXPECT_EQ(r.exitCode, 0);
    // The note, then the shutdown silences it and releases the pedal.
    EXPECT_EQ(hexes(synth.stop()),
              (std::vector<std::string>{"90 3c 40", "90 3c 00", "b0 40 00", "b1 40 00"}));
}

TEST(CommandLine, ClearNotesSilencesEveryNoteOnEveryChannel) {
    e2e::JackServer server;
    ASSERT_TRUE(server.ok());
    e2e::Capture synth(server, "synth");
    ASSERT_TRUE(synth.ok());
    // The file is not opened in clear-notes mode.
    const e2e::ProcResult r = velotap({"-c", "-o", "1", "/no/such.mid"}, server.envVar());
    EXPECT_EQ(r.out, "  Output Port #1: synth:in\n");
    EXPECT_EQ(r.exitCode, 0);

    const std::vector<e2e::MidiEvent> got = synth.stop();
    std::vector<std::string> expected;
    for (int note = 0; note < 128; ++note)
        for (int channel = 0; channel < 16; ++channel)
            expected.push_back(e2e::hex({uint8_t(0x90 + channel), uint8_t(note), 0}));
    for (int i = 0; i < 2; ++i) {
        expected.push_back("b0 40 00");
        expected.push_back("b1 40 00");
    }
    ASSERT_EQ(hexes(got), expected);
    // One second of silence between the clearing and the shutdown.
    const int64_t gap = got[2051].usec - got[2049].usec;
    EXPECT_GE(gap, 900000);
    EXPECT_LE(gap, 1500000);
}

TEST(CommandLine, VirtualPortAcceptsConnections) {
    e2e::JackServer server;
    ASSERT_TRUE(server.ok());
    // A note that would sound for ten seconds.
    const std::string song =
        e2e::writeTempFile(smf(0, 96, {{0x00, 0x90, 0x3C, 0x40, 0x87, 0x40, 0x90, 0x3C, 0x00}}));
    e2e::Process player({VELOTAP_BIN, song}, {server.envVar()});
    const std::string port = "RtMidi Output Client:Vorn Filter Output";
    e2e::Capture synth(server, "synth", port);
    ASSERT_TRUE(synth.ok());
    const std::vector<std::string> ports = e2e::jackPorts(server);
    EXPECT_NE(std::find(ports.begin(), ports.end(), port), ports.end());
    player.signal(SIGINT);
    const e2e::ProcResult r = player.wait(5);
    EXPECT_EQ(r.exitCode, 0);
    // The note was sent before the connection; what the connection sees is the shutdown.
    const std::vector<std::string> got = hexes(synth.stop());
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(got.end() - 3, got.end()),
              (std::vector<std::string>{"90 3c 00", "b0 40 00", "b1 40 00"}));
}

TEST(CommandLine, WithoutAnyMidiSystem) {
    // No ALSA sequencer on these machines, and no JACK server of that name: the JACK output is
    // created but cannot make its port, which is reported; the run still ends normally.
    const std::string song = e2e::writeTempFile(smf(0, 96, {{0x00, 0x90, 0x3C, 0x40}}));
    e2e::ProcResult r = velotap({song}, "JACK_DEFAULT_SERVER=velotap-none");
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("JACK error creating virtual port"), std::string::npos) << r.err;
    EXPECT_EQ(r.exitCode, 0);

    r = velotap({"-l"}, "JACK_DEFAULT_SERVER=velotap-none");
    EXPECT_EQ(r.out, "\nThere are 0 MIDI output ports available.\n\n");
    EXPECT_EQ(r.exitCode, 0);
}

} // namespace
