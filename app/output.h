// The MIDI output: creating it, listing and opening ports, sending, and silencing it.
#pragma once

#include <cstdint>
#include <vector>

// Creates gMidiOut on the first MIDI system that works. On failure prints the library's error
// and returns false.
bool createOutput();

// Prints the numbered list of output ports.
void listPorts();

// Opens port portIndex (0-based), or the virtual port when it is negative. Returns false, after
// its message, when nothing could be opened.
bool openOutput(int32_t portIndex);

// Writes the three bytes into message (which holds exactly three) and sends it.
void sendMessage3(std::vector<unsigned char>& message, unsigned char status, unsigned char data1,
                  unsigned char data2);

// Note On velocity 0 for every note on every channel, then the sustain pedal off, then a pause.
void clearAllNotes(std::vector<unsigned char>& message);

// Silences what is flagged as sounding, releases the sustain pedal, and deletes gMidiOut.
void shutdownOutput(std::vector<unsigned char>& message);

// Keeps the interrupt signals away from the threads that the MIDI library starts, so that
// they reach the main thread and cut its sleeps short. Call before createOutput.
void holdInterrupts();
// Lets the main thread receive them again (with whatever action they have by then).
void releaseInterrupts();

// The interrupt handler: asks the player to stop.
void finish(int);

// Installs finish for SIGINT, SIGTERM and SIGHUP.
void installInterruptHandler();
