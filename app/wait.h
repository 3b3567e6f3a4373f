// The one blocking call of the player's thread: a sleep to an absolute time on the monotonic
// clock that the wake-up (app/signals.h) and, if asked, an input descriptor end early. It looks
// at no request itself: the player's wait (app/requests.h) does, around each call.
#pragma once

#include <cstdint>

enum class Woke { kTimeUp, kWokenUp, kInput };

// Sleeps until deadline (microseconds on the monotonic clock), until wakeSleeper is called, or
// until inputFd (-1: none) can be read or has ended, and says which came first.
Woke sleepUntil(int64_t deadline, int inputFd = -1);
