// Reading a MIDI file's chunks into memory.
#pragma once

#include <istream>

class MIDITrack;

// Reads chunks from in until its end (or a stop request): the header into gMidiHeader, each
// track chunk into a MIDITrack. Returns the head of the track list, in file order.
MIDITrack* readChunks(std::istream& in);

// Opens fileName for loadMidiFile and announces it. Returns -1, after its message, when the file
// cannot be opened.
int openMidiFile(const char* fileName);

// Reads the file opened by openMidiFile completely, then closes it. Returns the head of the
// track list.
MIDITrack* loadMidiFile(int fd);
