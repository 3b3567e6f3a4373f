// The player's sleep that can end early: poll on the wake-up, a deadline timer and an input.
#include "app/wait.h"

#include <poll.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/timerfd.h>
#endif

#include <algorithm>
#include <cerrno>

#include "app/clock.h"
#include "app/signals.h"

// The longest single sleep: a later deadline would not fit a 32-bit time_t everywhere. The
// caller's loop sleeps again.
static const int64_t kLongestSleep = 1000000;

#ifdef __linux__
// A timer that fires at an absolute time: poll's own timeout is relative and gets a slack of
// 0.1 % of its length, which on a 500 ms wait makes every note almost half a millisecond late.
static int deadlineTimer(int64_t deadline) {
    static const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    itimerspec at = {};
    at.it_value = toTimespec(deadline);
    if (timer < 0 || timerfd_settime(timer, TFD_TIMER_ABSTIME, &at, nullptr) != 0)
        return -1;
    return timer;
}
#else
static int deadlineTimer(int64_t) {
    return -1;
}
#endif

Woke sleepUntil(int64_t deadline, int inputFd) {
    const int64_t now = nowMicroseconds();
    if (deadline <= now)
        return Woke::kTimeUp;
    const int64_t wakeAt = std::min(deadline, now + kLongestSleep);
    pollfd watched[3] = {{wakeUpFd(), POLLIN, 0}, {inputFd, POLLIN, 0}, {-1, POLLIN, 0}};
    watched[2].fd = deadlineTimer(wakeAt);
    // Without the timer, poll's timeout, rounded up to whole milliseconds.
    const int timeout = watched[2].fd >= 0 ? -1 : static_cast<int>((wakeAt - now + 999) / 1000);
    const int ready = poll(watched, 3, timeout);
    if (ready < 0 && errno != EINTR)
        pauseMicroseconds(1000); // never spin on a call that keeps failing
    if (ready > 0 && watched[0].revents != 0) {
        clearWakeUp();
        return Woke::kWokenUp;
    }
    // A read, an end of file or an error: the reader will tell.
    if (ready > 0 && watched[1].revents != 0)
        return Woke::kInput;
    // The timer, poll's own timeout or a signal.
    return nowMicroseconds() >= deadline ? Woke::kTimeUp : Woke::kWokenUp;
}
