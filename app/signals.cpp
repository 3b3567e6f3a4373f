#include "app/signals.h"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

#include "app/settings.h"
#include "app/wait.h"

static std::atomic<bool> gSuspendAsked{false};

// The watched call's time, counted in alarms of 100 ms rather than read off a clock: the alarms
// that fall due while the process is stopped arrive as one, so a stop adds at most 100 ms.
static volatile sig_atomic_t gAlarms = 0;
static const long kAlarmMicroseconds = 100000;
static const int kAlarmsToGiveUp = 20;

// A stop cancels a Ctrl-Z that has not stopped the player yet: it is to exit, not to wait stopped.
void finish(int) {
    gIsDone = true;
    gSuspendAsked = false;
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

static void install(int sig, void (*handler)(int), int flags = SA_RESTART) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Calls that a signal interrupts are restarted, in the MIDI libraries' threads too. Nothing
    // of velotap's counts on being interrupted (a signal taken by another thread would not
    // interrupt it at all): the handlers wake the player's waits instead, and standard output
    // and the file are read and written only once such a wait says they are ready.
    action.sa_flags = flags;
    sigaction(sig, &action, nullptr);
}

static sigset_t terminalSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTTOU);
    sigaddset(&set, SIGTTIN);
    return set;
}

void holdTerminalSignals() {
    const sigset_t set = terminalSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void installInterruptHandler() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        install(sig, finish);
    install(SIGTSTP, askSuspend);
    install(SIGCONT, cancelSuspend);
    // Not restarted: a read or write the terminal refuses would be tried, and refused, again and
    // again before the player could honour the stop.
    install(SIGTTOU, askSuspend, 0);
    install(SIGTTIN, askSuspend, 0);
    const sigset_t set = terminalSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
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
