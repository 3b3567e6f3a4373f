// Time for the player: a monotonic clock in microseconds.
#pragma once

#include <time.h>

#include <cstdint>

// Monotonic time in microseconds.
int64_t nowMicroseconds();

// usec as a timespec (not negative).
timespec toTimespec(int64_t usec);

// Sleeps the whole time, whatever signals arrive meanwhile. Only for what must not look at the
// requests; the player's pauses go through the one wait (app/wait.h).
void pauseMicroseconds(int64_t usec);
