// Reading a MIDI file's chunks into memory.
#pragma once

#include <istream>

class MIDITrack;

// Reads chunks from in until its end (or a stop request): the header into gMidiHeader, each
// track chunk into a MIDITrack. Returns the head of the track list, in file order.
MIDITrack* readChunks(std::istream& in);

// Opens fileName, announces it and reads it completely, then closes it. Returns false, after
// its message, when the file cannot be opened.
bool loadMidiFile(const char* fileName, MIDITrack** head);
