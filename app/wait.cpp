#include "app/wait.h"

#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "app/clock.h"
#include "app/requests.h"
#include "app/settings.h"
#include "app/signals.h"
#include "app/streams.h"

// The wake-up is a pipe: a signal handler on any thread writes a byte, and the select asleep on
// it wakes at once. A flag alone would not do: the thread that takes the signal need not be the
// one asleep, and that one would sleep on to its deadline.
static int gWakePipe[2] = {-1, -1};

// The longest single sleep: a longer timeout would not fit a 32-bit time_t everywhere.
static const int64_t kLongestSleep = 1000000;
static const int64_t kForever = INT64_MAX;

void openWakeUp() {
    if (pipe(gWakePipe) != 0) {
        gWakePipe[0] = gWakePipe[1] = -1;
        return;
    }
    for (int fd : gWakePipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

void wakeSleeper() {
    if (gWakePipe[1] < 0)
        return;
    const int savedErrno = errno;
    const char byte = 0;
    ssize_t ignored = write(gWakePipe[1], &byte, 1);
    (void)ignored;
    errno = savedErrno;
}

enum { kInputReady = 1, kWritten = 2 };

// One select, for at most usec: on the wake-up, on inputFd (-1: none) and on the standard
// descriptors that hold text, of which it writes what the ready ones take.
static int selectOnce(int64_t usec, int inputFd) {
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    int top = gWakePipe[0];
    if (top >= 0)
        FD_SET(top, &readable);
    if (inputFd >= 0)
        FD_SET(inputFd, &readable);
    top = std::max(top, inputFd);
    // Nothing is written while a Ctrl-Z waits: a background write to a terminal would only
    // raise SIGTTOU again.
    if (!suspendAsked())
        top = std::max(top, addPendingOutputs(&writable));
    const timespec timeout = toTimespec(usec);
    const int ready = pselect(top + 1, &readable, &writable, nullptr, &timeout, nullptr);
    if (ready < 0) {
        if (errno == EINTR)
            return 0;
        // Never spin on a call that keeps failing; a bad input descriptor is left to its read.
        pauseMicroseconds(1000);
        return inputFd >= 0 ? kInputReady : 0;
    }
    if (gWakePipe[0] >= 0 && FD_ISSET(gWakePipe[0], &readable)) {
        char bytes[64];
        while (read(gWakePipe[0], bytes, sizeof bytes) > 0) {
        }
    }
    const int written = writeReadyOutputs(writable) ? kWritten : 0;
    return written | (inputFd >= 0 && FD_ISSET(inputFd, &readable) ? kInputReady : 0);
}

static Woken waitFor(int64_t* deadline, bool stopEnds, int inputFd, bool drain) {
    for (;;) {
        const int64_t left = *deadline - nowMicroseconds();
        if (honourSuspend()) {
            const int64_t now = nowMicroseconds();
            *deadline = left > kForever - now ? kForever : now + std::max<int64_t>(left, 0);
        }
        if (stopEnds && gIsDone)
            return Woken::kStopped;
        if (drain && !outputPending())
            return Woken::kDone;
        const int64_t usec = *deadline - nowMicroseconds();
        if (usec <= 0)
            return Woken::kDone;
        if (selectOnce(std::min(usec, kLongestSleep), inputFd) & kInputReady)
            return Woken::kDone;
    }
}

Woken waitUntil(int64_t* deadline, bool stopEnds) {
    return waitFor(deadline, stopEnds, -1, false);
}

void pauseFor(int64_t usec) {
    int64_t deadline = nowMicroseconds() + usec;
    waitFor(&deadline, false, -1, false);
}

Woken waitForInput(int fd) {
    // select cannot watch a descriptor beyond FD_SETSIZE: the read itself waits for that one.
    int64_t deadline = fd < FD_SETSIZE ? kForever : nowMicroseconds();
    return waitFor(&deadline, true, fd < FD_SETSIZE ? fd : -1, false);
}

void waitForReaders() {
    int64_t forever = kForever;
    waitFor(&forever, true, -1, true);
    while (outputPending() && (selectOnce(0, -1) & kWritten)) {
    }
}
