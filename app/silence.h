// Silencing what the player left sounding: at the end, and when Ctrl-Z stops it.
#pragma once

// Sustain pedal off on channels 1 and 2, always and first; then on each other channel, in
// order, where allChannels says so or this run left the pedal down.
void releasePedals(bool allChannels);

// Note On velocity 0 for every note flagged as sounding, then releasePedals(false). clearFlags
// also forgets the notes so released.
void silenceOutput(bool clearFlags);

// Honours a Ctrl-Z while playing: silences what sounds, lets it leave, and stops the process
// until it is continued; then presses again the sustain pedals that were held down. Nothing
// is pressed again when a stop request came meanwhile.
void suspendPlayer();
