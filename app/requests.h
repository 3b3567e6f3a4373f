// The player's wait, and the one place that honours what the user asks by signal: every wait of
// the player looks at the requests before it blocks and after it wakes. A stop ends the waits
// that a stop may end; a Ctrl-Z is honoured as what the player does at the time requires.
#pragma once

#include <cstdint>
#include <vector>

// While the song plays, a Ctrl-Z silences first and presses the song's pedals again after fg;
// otherwise (loading, the end) nothing sounds and it just stops.
void setPlaying(bool playing);

enum class Woken { kDone, kStopped };

// Waits until the monotonic time *deadline (microseconds). A Ctrl-Z honoured meanwhile moves
// *deadline on by the time spent stopped, so the rest of the wait comes after the continue.
// Returns kStopped as soon as a stop is asked, where stopEnds says so.
Woken waitUntil(int64_t* deadline, bool stopEnds);

// waitUntil for usec from now, which a stop request does not end.
void pauseFor(int64_t usec);

// Waits until fd can be read; kStopped when a stop is asked first.
Woken waitForInput(int fd);

// Waits until standard output and error have taken all the text they hold, as cat would. Only
// a stop signal ends this wait; the text still waiting is then dropped, but for what a standard
// error that leads elsewhere than standard output takes within 0.1 s.
void waitForReaders();

// Sends one of the song's messages in its turn (app/send.h), after honouring a Ctrl-Z. False,
// and nothing sent, when a stop came first: what the song had not reached stays unplayed.
bool playMessage(std::vector<unsigned char>& message, unsigned char status, unsigned char data1,
                 unsigned char data2);
