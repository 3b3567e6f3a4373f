#include "app/clock.h"

#include <fcntl.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

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

bool sleepUntil(int64_t deadline) {
    if (!gWakePipeOpen) {
        pauseMicroseconds(deadline - nowMicroseconds());
        return true;
    }
    for (;;) {
        const int64_t left = deadline - nowMicroseconds();
        if (left <= 0)
            return true;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(gWakePipe[0], &readable);
        const timespec timeout = toTimespec(left);
        const int ready = pselect(gWakePipe[0] + 1, &readable, nullptr, nullptr, &timeout, nullptr);
        if (ready > 0) {
            char bytes[64];
            while (read(gWakePipe[0], bytes, sizeof bytes) > 0) {
            }
            return false;
        }
        // A signal whose handler wrote nothing (or on another thread, not yet) interrupts the
        // select; the deadline stays the same.
    }
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
