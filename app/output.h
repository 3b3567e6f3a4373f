// The MIDI output: creating it, listing and opening ports, clearing notes, shutting down.
#pragma once

#include <cstdint>

// Creates gMidiOut on the first MIDI system that works. When none does, prints one line and
// what the libraries said, and returns false.
bool createOutput();

// Prints the numbered list of output ports.
void listPorts();

// Opens port portIndex (0-based), or the virtual port when it is negative. Returns false, after
// its message, when nothing could be opened.
bool openOutput(int32_t portIndex);

// Note On velocity 0 for every note on every channel, then the sustain pedal off, then a pause.
void clearAllNotes();

// Silences the output, lets the messages leave, and deletes gMidiOut. Returns the exit status:
// 1, after one line on standard error, when the JACK server went away by then (from that moment
// nothing more is sent or closed), else 0.
int shutdownOutput();
