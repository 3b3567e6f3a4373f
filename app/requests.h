// The requests a user makes by signal, stop (gIsDone) and Ctrl-Z, and the one place that
// honours a Ctrl-Z. The waits (app/wait.h) call it before they block and after they wake, and the
// player before each message it sends.
#pragma once

// What a Ctrl-Z does depends on what the player is doing.
enum class Phase {
    kNothingSounds, // loading the file, or done silencing at the end: it just stops
    kPlaying,       // it silences first, stops, and presses the song's pedals again after fg
    kSilencing,     // the silencing itself must leave first: the Ctrl-Z waits for it
};

void setPhase(Phase phase);

// True while the song plays: what is sent now is the song's, which a stop request ends.
bool playing();

// Honours a Ctrl-Z now, as the phase says. True when the process was stopped (or would have
// been, but for a quick fg) and has been continued.
bool honourSuspend();

// honourSuspend, then true while playing may go on: false once a stop is asked.
bool honourRequests();
