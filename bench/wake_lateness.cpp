// How late the player's wait wakes for its deadline: velotap's wait (a timer armed for the
// deadline itself, under poll) against the wait it replaced (pselect with a timeout relative to
// the deadline, which the kernel lets run 0.1 % over), for waits of 20, 100 and 500 ms.
// Prints one line per design and length: mean, p99 and max lateness in microseconds.
#include <sys/select.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/clock.h"
#include "app/signals.h"
#include "app/wait.h"

// The old design's sleep: pselect for what is left of the wait, again until the deadline.
static void selectUntil(int64_t deadline) {
    for (int64_t left; (left = deadline - nowMicroseconds()) > 0;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(wakeUpFd(), &readable);
        const timespec timeout = toTimespec(std::min<int64_t>(left, 1000000));
        pselect(wakeUpFd() + 1, &readable, nullptr, nullptr, &timeout, nullptr);
    }
}

static void newUntil(int64_t deadline) {
    while (nowMicroseconds() < deadline)
        sleepUntil(deadline);
}

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 1;
    openWakeUp();
    std::printf("%-8s %6s %5s %9s %9s %9s\n", "wait", "ms", "runs", "mean us", "p99 us", "max us");
    for (const int64_t ms : {20, 100, 500}) {
        // Alternating the designs, so that a busy moment of the machine falls on both.
        const int runs = rounds * static_cast<int>(2000 / ms);
        std::vector<double> late[2];
        for (int k = 0; k < 2 * runs; ++k) {
            const int64_t deadline = nowMicroseconds() + ms * 1000;
            (k % 2 ? newUntil : selectUntil)(deadline);
            late[k % 2].push_back(static_cast<double>(nowMicroseconds() - deadline));
        }
        for (int design = 0; design < 2; ++design) {
            std::vector<double>& l = late[design];
            std::sort(l.begin(), l.end());
            double sum = 0;
            for (double v : l)
                sum += v;
            std::printf("%-8s %6lld %5d %9.0f %9.0f %9.0f\n", design ? "velotap" : "pselect",
                        static_cast<long long>(ms), runs, sum / l.size(),
                        l[std::min(l.size() - 1, l.size() * 99 / 100)], l.back());
        }
    }
    return 0;
}
