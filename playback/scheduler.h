// Real-time playback of the loaded track list.
#pragma once

#include <cstdint>

class MIDITrack;

// Receives each positive wait the player computes, in microseconds.
using WaitFunction = void (*)(int64_t usec);

// The real wait: moves the playing deadline on by usec and sleeps until it on the monotonic
// clock, so time spent performing events never adds up. A stop ends the sleep early; a Ctrl-Z
// honoured meanwhile makes it longer by the time velotap stood stopped.
void sleepPastDeadline(int64_t usec);

// Plays the list as gMidiHeader.format says, passing every wait to wait. Returns when all
// tracks have ended, gIsDone is set, or at once for a format that is not played.
void playTracks(MIDITrack* head, WaitFunction wait = sleepPastDeadline);

// Deletes every track of the list.
void deleteTracks(MIDITrack* head);
