// Time for the player: a monotonic clock, pauses, and waits that a signal can end.
#pragma once

#include <cstdint>

// Monotonic time in microseconds.
int64_t nowMicroseconds();

// Sleeps the whole time, whatever signals arrive meanwhile.
void pauseMicroseconds(int64_t usec);

// Sleeps until the monotonic time deadline (microseconds). Returns true when the deadline was
// reached, false when wakeSleeper ended the sleep first (or had been called since the last
// wait): the caller then looks at what the signal asked for.
bool sleepUntil(int64_t deadline);

// Waits until the file descriptor can be read (or written, forWriting) without blocking.
// Returns false when wakeSleeper ended the wait first, as sleepUntil does.
bool waitUntilReady(int fd, bool forWriting);

// True when the file descriptor can be read (or written) without blocking now.
bool readyNow(int fd, bool forWriting);

// Ends the current or the next wait early. Safe in a signal handler, on any thread.
void wakeSleeper();
