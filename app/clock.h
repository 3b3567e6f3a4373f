// Time for the player: a monotonic clock in microseconds.
#pragma once

#include <time.h>

#include <cstdint>

// Monotonic time in microseconds.
int64_t nowMicroseconds();

// usec as a timespec (not negative).
timespec toTimespec(int64_t usec);

// Sleeps the whole time, whatever signals arrive meanwhile: for what must not look at the
// requests (a retry's pause, the pause after the sweep).
void pauseMicroseconds(int64_t usec);
