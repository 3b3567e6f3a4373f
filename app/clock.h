// Time for the player: a monotonic clock, pauses, and a sleep that a signal can end.
#pragma once

#include <cstdint>

// Monotonic time in microseconds.
int64_t nowMicroseconds();

// Sleeps the whole time, whatever signals arrive meanwhile.
void pauseMicroseconds(int64_t usec);

// Sleeps until the monotonic time deadline (microseconds). Returns true when the deadline was
// reached, false when wakeSleeper ended the sleep first (or had been called since the last
// sleep): the caller then looks at what the signal asked for.
bool sleepUntil(int64_t deadline);

// Ends the current or the next sleepUntil early. Safe in a signal handler, on any thread.
void wakeSleeper();
