// Running the built player against a private JACK server and reading what reached the port.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "e2e.h"

struct PlayRun {
    e2e::ProcResult result;
    std::vector<e2e::MidiEvent> events;
    std::vector<std::string> messages; // events as "90 3c 40"
};

inline std::vector<std::string> hexes(const std::vector<e2e::MidiEvent>& events) {
    std::vector<std::string> out;
    for (const e2e::MidiEvent& e : events)
        out.push_back(e2e::hex(e.bytes));
    return out;
}

// Plays file to a capture client "synth" (port 1). args come before the file name.
inline PlayRun playTo(const e2e::JackServer& server, const std::string& file,
                      const std::vector<std::string>& args = {}) {
    PlayRun run;
    e2e::Capture synth(server, "synth");
    if (!synth.ok())
        return run;
    std::vector<std::string> argv = {VELOTAP_BIN, "-o", "1"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(file);
    e2e::Process player(argv, {server.envVar()});
    run.result = player.wait(60);
    run.events = synth.stop();
    run.messages = hexes(run.events);
    return run;
}

// What still sounds after a stream of messages: notes left on, and channels 1 and 2 whose
// sustain pedal is held. Empty when everything was silenced.
inline std::vector<std::string> leftSounding(const std::vector<e2e::MidiEvent>& events) {
    std::map<int, int> notes; // channel * 128 + note -> on count
    int pedal[16] = {};
    for (const e2e::MidiEvent& e : events) {
        if (e.bytes.size() != 3)
            continue;
        const int kind = e.bytes[0] & 0xF0, channel = e.bytes[0] & 0x0F;
        const int key = channel * 128 + e.bytes[1];
        if (kind == 0x90 && e.bytes[2] != 0)
            notes[key] = 1;
        else if (kind == 0x80 || kind == 0x90)
            notes.erase(key);
        else if (kind == 0xB0 && e.bytes[1] == 0x40)
            pedal[channel] = e.bytes[2];
    }
    std::vector<std::string> left;
    for (const auto& [key, on] : notes)
        left.push_back("note " + std::to_string(key % 128) + " on channel " +
                       std::to_string(key / 128 + 1));
    for (int channel = 0; channel < 2; ++channel)
        if (pedal[channel] >= 64)
            left.push_back("sustain on channel " + std::to_string(channel + 1));
    return left;
}
