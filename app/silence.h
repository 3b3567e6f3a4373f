// Silencing what the player left sounding: at the end, and when Ctrl-Z stops it.
#pragma once

// Sustain pedal off on channels 1 and 2, always and first; then on each other channel, in
// order, where allChannels says so or this run left the pedal down.
void releasePedals(bool allChannels);

// Note On velocity 0 for every note flagged as sounding, then releasePedals(false). clearFlags
// also forgets the notes so released.
void silenceOutput(bool clearFlags);
