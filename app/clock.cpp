// The monotonic clock in microseconds.
#include "app/clock.h"

#include <cerrno>

int64_t nowMicroseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

timespec toTimespec(int64_t usec) {
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
