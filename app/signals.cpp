#include "app/signals.h"

#include <semaphore.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>

#include "app/output.h"
#include "app/settings.h"

// Posted by the handlers: the MIDI library's threads may take a signal as well as the main
// thread, so the player's sleep must be ended by something other than the interruption itself.
static sem_t gWakeup;
static std::atomic<bool> gSuspendAsked{false};

int64_t monotonicMicroseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

void finish(int) {
    gIsDone = true;
    sem_post(&gWakeup);
}

static void askSuspend(int) {
    gSuspendAsked = true;
    sem_post(&gWakeup);
}

static void install(int sig, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Interrupted writes to a slow standard output are restarted; the sleeps are not (they
    // never are), so the player still wakes at once.
    action.sa_flags = SA_RESTART;
    sigaction(sig, &action, nullptr);
}

void installInterruptHandler() {
    sem_init(&gWakeup, 0, 0);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        install(sig, finish);
    install(SIGTSTP, askSuspend);
}

bool sleepUntil(int64_t deadline) {
    const timespec until{static_cast<time_t>(deadline / 1000000), (deadline % 1000000) * 1000};
    while (!gIsDone && !gSuspendAsked) {
        if (sem_clockwait(&gWakeup, CLOCK_MONOTONIC, &until) == -1 && errno == ETIMEDOUT)
            break;
    }
    return gSuspendAsked && !gIsDone;
}

void suspendPlayer() {
    silenceOutput(true);
    // Let the last messages leave before the whole process, the library's threads with it,
    // stands still.
    pauseMicroseconds(100000);
    gSuspendAsked = false;
    // SIGSTOP, not SIGTSTP: the kernel drops a stop by SIGTSTP in an orphaned process group
    // (a player started from a script), which would leave it playing on in silence.
    raise(SIGSTOP);
}
