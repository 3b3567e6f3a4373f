// The player's sleep that can end early: to an absolute time on the monotonic clock, or until
// the wake-up (app/signals.h) or, if asked, an input descriptor. Every wait of the player sleeps
// here, but for the pauses that nothing may cut short (a retry, the pause after the sweep:
// pauseMicroseconds, app/clock.h). It looks at no request itself: the player's wait
// (app/requests.h) does, around each call.
#pragma once

#include <cstdint>

enum class Woke { kTimeUp, kWokenUp, kInput };

// Sleeps until deadline (microseconds on the monotonic clock), until wakeSleeper is called, or
// until inputFd (-1: none) can be read or has ended, and says which came first. A sleep lasts
// 1 s at most: kWokenUp then, as the deadline has not come.
Woke sleepUntil(int64_t deadline, int inputFd = -1);
