#include "app/signals.h"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

#include "app/clock.h"
#include "app/settings.h"

static std::atomic<bool> gSuspendAsked{false};

// The watched call's time, counted in alarms of 100 ms rather than read off a clock: the alarms
// that fall due while the process is stopped arrive as one, so a stop adds at most 100 ms.
static volatile sig_atomic_t gAlarms = 0;
static const long kAlarmMicroseconds = 100000;
static const int kAlarmsToGiveUp = 20;

void finish(int) {
    gIsDone = true;
    wakeSleeper();
}

static void askSuspend(int) {
    gSuspendAsked = true;
    wakeSleeper();
}

// A continue that comes before the stop took effect (a quick fg) cancels the stop.
static void cancelSuspend(int) {
    gSuspendAsked = false;
}

static void onAlarm(int) {
    ++gAlarms;
    if (gAlarms < kAlarmsToGiveUp)
        return;
    static const char line[] = "velotap: the MIDI output stopped responding\n";
    ssize_t ignored = write(STDERR_FILENO, line, sizeof line - 1);
    (void)ignored;
    _exit(1);
}

static void install(int sig, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Calls that a signal interrupts are restarted, in the MIDI libraries' threads too. Nothing
    // of velotap's counts on being interrupted (a signal taken by another thread would not
    // interrupt it at all): the handlers wake the player's waits instead, and standard output
    // and the file are read and written only once such a wait says they are ready.
    action.sa_flags = SA_RESTART;
    sigaction(sig, &action, nullptr);
}

void installInterruptHandler() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        install(sig, finish);
    install(SIGTSTP, askSuspend);
    install(SIGCONT, cancelSuspend);
}

bool suspendAsked() {
    return gSuspendAsked;
}

void stopProcess() {
    if (!gSuspendAsked.exchange(false))
        return;
    // SIGSTOP, not SIGTSTP: the kernel drops a stop by SIGTSTP in an orphaned process group
    // (a player started from a script), which would leave it playing on.
    raise(SIGSTOP);
}

static void setAlarm(long usec) {
    itimerval timer = {};
    timer.it_value.tv_usec = static_cast<suseconds_t>(usec);
    timer.it_interval = timer.it_value;
    setitimer(ITIMER_REAL, &timer, nullptr);
}

void armWatchdog() {
    static const bool installed = (install(SIGALRM, onAlarm), true);
    (void)installed;
    gAlarms = 0;
    setAlarm(kAlarmMicroseconds);
}

void disarmWatchdog() {
    setAlarm(0);
}
