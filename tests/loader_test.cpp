// Reading a file's chunks: the lines printed and the tracks built.
#include <gtest/gtest.h>

#include <fstream>

#include "smf/chunk_reader.h"
#include "smf_builder.h"

namespace {

struct Loaded {
    std::string out;
    std::vector<int64_t> lengths; // trackLength of each track, in list order
    std::vector<int32_t> indices;
};

Loaded load(const Bytes& file, bool verbose) {
    resetSettings();
    gIsVerbose = verbose;
    Loaded result;
    std::istringstream in(str(file));
    MIDITrack* head = nullptr;
    result.out = captureStdout([&] { head = readChunks(in); });
    while (head != nullptr) {
        result.lengths.push_back(head->trackLength);
        result.indices.push_back(head->trackIndex);
        MIDITrack* next = head->nextTrack;
        delete head;
        head = next;
    }
    return result;
}

TEST(Loader, PrintsChunkLinesAndBuildsTracks) {
    const Bytes eot = {0x00, 0xFF, 0x2F, 0x00};
    struct Case {
        const char* what;
        Bytes file;
        bool verbose;
        std::string out;
        std::vector<int64_t> lengths;
        std::vector<int32_t> indices;
    };
    const Case cases[] = {
        {"format 1, two tracks",
         smf(1, 96, {eot, Bytes(25, 0x00)}),
         true,
         "MThd (4d546864) 6 (00000006)\nGot midi header\nformat1, tracks 2, division 96\n"
         "MTrk (4d54726b) 4 (00000004)\nGot midi track\n"
         "MTrk (4d54726b) 25 (00000019)\nGot midi track\n",
         {4, 25},
         {0, 1}},
        {"quiet run prints the format line only",
         smf(0, 480, {eot}),
         false,
         "format0, tracks 1, division 480\n",
         {4},
         {0}},
        {"unknown chunk between tracks takes no index",
         cat({header(1, 2, 96), chunk("MTrk", eot), chunk("XFoo", {1, 2, 3}), chunk("MTrk", eot)}),
         false,
         "format1, tracks 2, division 96\nGot unpexpected header\n",
         {4, 4},
         {0, 1}},
        {"an id in other letter case is unknown",
         cat({chunk("mtrk", eot)}),
         true,
         "mtrk (6d74726b) 4 (00000004)\nGot unpexpected header\n",
         {},
         {}},
        {"header of length 8: its last two bytes start the next chunk",
         cat({chunk("MThd", {0, 1, 0, 1, 0, 96, 'M', 'T'}), Bytes{'r', 'k', 0, 0, 0, 4}, eot}),
         true,
         "MThd (4d546864) 8 (00000008)\nGot midi header\nformat1, tracks 1, division 96\n"
         "MTrk (4d54726b) 4 (00000004)\nGot midi track\n",
         {4},
         {0}},
        {"SMPTE division prints negative",
         header(0, 0, 0xE728),
         false,
         "format0, tracks 0, division -6360\n",
         {},
         {}},
        {"empty file", {}, true, "", {}, {}},
        {"not a MIDI file",
         Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'},
         false,
         "Got unpexpected header\n",
         {},
         {}},
        // The body is cut short: kept as read, and loading stops.
        {"truncated body",
         cat({header(0, 2, 96), Bytes{'M', 'T', 'r', 'k'}, be32(100), eot, chunk("MTrk", eot)}),
         false,
         "format0, tracks 2, division 96\n",
         {16},
         {0}},
        // A 4 GB claim in a tiny file allocates only what is there.
        {"huge claimed length",
         cat({Bytes{'M', 'T', 'r', 'k'}, be32(0xFFFFFFFF), eot}),
         true,
         "MTrk (4d54726b) 4294967295 (ffffffff)\nGot midi track\n",
         {4},
         {0}},
    };
    for (const Case& c : cases) {
        const Loaded got = load(c.file, c.verbose);
        EXPECT_EQ(got.out, c.out) << c.what;
        EXPECT_EQ(got.lengths, c.lengths) << c.what;
        EXPECT_EQ(got.indices, c.indices) << c.what;
    }
}

TEST(Loader, OpensFilesAndReportsThoseItCannot) {
    resetSettings();
    MIDITrack* head = nullptr;
    std::string out =
        captureStdout([&] { EXPECT_FALSE(loadMidiFile("/no/such/file.mid", &head)); });
    EXPECT_EQ(out, "Can't open file /no/such/file.mid\n");

    const std::string path = testing::TempDir() + "loader_test.mid";
    std::ofstream(path, std::ios::binary) << str(smf(0, 96, {{0x00, 0xFF, 0x2F, 0x00}}));
    out = captureStdout([&] { EXPECT_TRUE(loadMidiFile(path.c_str(), &head)); });
    EXPECT_EQ(out, "Playing midi file ... quit with Ctrl-C.\nformat0, tracks 1, division 96\n");
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->trackLength, 4);
    delete head;
}

} // namespace
