#include "app/clock.h"

#include <fcntl.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

// The wake-up is a pipe: a signal handler on any thread writes a byte, and the sleeping
// select sees it at once. A flag alone would not do: the thread that takes the signal need not
// be the one asleep, and that one would sleep on to its deadline.
static int gWakePipe[2] = {-1, -1};

// Opened before main, so that no signal can come before it exists.
static const bool gWakePipeOpen = [] {
    if (pipe(gWakePipe) != 0)
        return false;
    for (int fd : gWakePipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    return true;
}();

int64_t nowMicroseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

static timespec toTimespec(int64_t usec) {
    timespec t;
    t.tv_sec = static_cast<time_t>(usec / 1000000);
    t.tv_nsec = static_cast<long>(usec % 1000000) * 1000;
    return t;
}

void pauseMicroseconds(int64_t usec) {
    timespec left = toTimespec(usec);
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

enum class Wait { kReady, kWoken, kTimedOut, kFailed };

// One select on the wake-up pipe and on fd (-1: none), for at most timeout (null: no limit).
static Wait waitOnce(int fd, bool forWriting, const timespec* timeout) {
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_SET(gWakePipe[0], &readable);
    if (fd >= 0)
        FD_SET(fd, forWriting ? &writable : &readable);
    const int ready =
        pselect(std::max(fd, gWakePipe[0]) + 1, &readable, &writable, nullptr, timeout, nullptr);
    if (ready < 0 && errno != EINTR)
        return Wait::kFailed;
    // A signal whose handler wrote nothing (or on another thread, not yet) interrupts the
    // select; the caller waits again.
    if (ready <= 0)
        return Wait::kTimedOut;
    if (FD_ISSET(gWakePipe[0], &readable)) {
        char bytes[64];
        while (read(gWakePipe[0], bytes, sizeof bytes) > 0) {
        }
        return Wait::kWoken;
    }
    return Wait::kReady;
}

// The longest single sleep: a longer timeout would not fit a 32-bit time_t everywhere.
static const int64_t kLongestSleep = 1000000;

bool sleepUntil(int64_t deadline) {
    for (;;) {
        const int64_t left = deadline - nowMicroseconds();
        if (left <= 0)
            return true;
        const int64_t usec = std::min(left, kLongestSleep);
        if (!gWakePipeOpen) {
            pauseMicroseconds(usec);
            continue;
        }
        const timespec timeout = toTimespec(usec);
        const Wait result = waitOnce(-1, false, &timeout);
        if (result == Wait::kWoken)
            return false;
        if (result == Wait::kFailed) {
            // The caller looks at the requests; it never spins on a call that keeps failing.
            pauseMicroseconds(1000);
            return false;
        }
    }
}

bool waitUntilReady(int fd, bool forWriting) {
    if (!gWakePipeOpen || fd < 0 || fd >= FD_SETSIZE)
        return true;
    for (;;) {
        const Wait result = waitOnce(fd, forWriting, nullptr);
        if (result == Wait::kWoken)
            return false;
        // A descriptor select refuses (closed, say) is left to the read or write to report.
        if (result != Wait::kTimedOut)
            return true;
    }
}

bool readyNow(int fd, bool forWriting) {
    if (fd < 0 || fd >= FD_SETSIZE)
        return true;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval zero = {};
    // An error is left to the read or write to report.
    return select(fd + 1, forWriting ? nullptr : &set, forWriting ? &set : nullptr, nullptr,
                  &zero) != 0;
}

void wakeSleeper() {
    if (!gWakePipeOpen)
        return;
    const int savedErrno = errno;
    const char byte = 0;
    ssize_t ignored = write(gWakePipe[1], &byte, 1);
    (void)ignored;
    errno = savedErrno;
}
