// The signal handlers and the requests they leave for the player, the wake-up, the watchdog.
#include "app/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/settings.h"

// The wake-up is a pipe: a handler on any thread writes a byte, and the wait asleep on it wakes
// at once. A flag alone would not do: the thread that takes the signal need not be the one
// asleep, and that one would sleep on to its deadline.
static int gWakePipe[2] = {-1, -1};
static std::atomic<bool> gStopAsked{false};
static std::atomic<bool> gSuspendAsked{false};

// The watched call's time, counted in alarms of 100 ms rather than read off a clock: the alarms
// that fall due while the process is stopped arrive as one, so a stop adds at most 100 ms.
static volatile sig_atomic_t gAlarms = 0;
static const long kAlarmMicroseconds = 100000;
static const int kAlarmsToGiveUp = 100;
static sigset_t gMaskBeforeWatch;

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

int wakeUpFd() {
    return gWakePipe[0];
}

void clearWakeUp() {
    char bytes[64];
    while (gWakePipe[0] >= 0 && read(gWakePipe[0], bytes, sizeof bytes) > 0) {
    }
}

// A stop cancels a Ctrl-Z that has not stopped the player yet: it is to exit, not to wait stopped.
void finish(int) {
    gStopAsked = true;
    gIsDone = true;
    gSuspendAsked = false;
    wakeSleeper();
}

bool stopAsked() {
    return gStopAsked;
}

static void askSuspend(int) {
    gSuspendAsked = true;
    wakeSleeper();
}

// A continue that comes before the stop took effect (a quick fg) cancels the stop.
static void cancelSuspend(int) {
    gSuspendAsked = false;
    wakeSleeper();
}

// Standard error may be a pipe nobody reads: the line's write may never return. The next alarm,
// 100 ms later (this handler may run again meanwhile), ends the process all the same.
static void onAlarm(int) {
    static volatile sig_atomic_t givingUp = 0;
    if (givingUp)
        _exit(1);
    if (++gAlarms < kAlarmsToGiveUp)
        return;
    givingUp = 1;
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
    // interrupt it at all): the handlers wake the player's wait instead.
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

// Ctrl-Z, the terminal's stops and the continue: taken by one thread, they are handled in the
// order they came (the kernel drops a pending stop when a continue comes, and the reverse).
static sigset_t suspendSignals() {
    sigset_t set = terminalSignals();
    sigaddset(&set, SIGTSTP);
    sigaddset(&set, SIGCONT);
    return set;
}

// The thread that takes the suspend signals until the song, with their default action. Never
// destroyed: where no song plays, it still waits when velotap exits.
struct StandIn {
    std::mutex lock;
    std::condition_variable cue;
    bool songStarts = false;
    std::thread thread;
};
static StandIn& gStandIn = *new StandIn;

void holdSuspendSignals() {
    const sigset_t set = suspendSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    try {
        gStandIn.thread = std::thread([] {
            const sigset_t taken = suspendSignals();
            pthread_sigmask(SIG_UNBLOCK, &taken, nullptr);
            std::unique_lock<std::mutex> lock(gStandIn.lock);
            gStandIn.cue.wait(lock, [] { return gStandIn.songStarts; });
        });
    } catch (const std::system_error&) {
        // Without it a Ctrl-Z waits for the song, which drops it (endStandIn).
    }
}

// Once it has returned, no thread but velotap's own can take a suspend signal.
static void endStandIn() {
    if (!gStandIn.thread.joinable()) {
        // Ctrl-Z and the terminal's stops held since the start were meant for then, not the song.
        for (int sig : {SIGTSTP, SIGTTOU, SIGTTIN})
            signal(sig, SIG_IGN);
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(gStandIn.lock);
        gStandIn.songStarts = true;
    }
    gStandIn.cue.notify_one();
    gStandIn.thread.join();
}

SuspendSignalsHeld::SuspendSignalsHeld() {
    const sigset_t set = suspendSignals();
    pthread_sigmask(SIG_BLOCK, &set, &before_);
}

SuspendSignalsHeld::~SuspendSignalsHeld() {
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

void takeTerminalOutputStop(bool take) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTTOU);
    pthread_sigmask(take ? SIG_UNBLOCK : SIG_BLOCK, &set, nullptr);
}

void installInterruptHandler() {
    endStandIn();
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        install(sig, finish);
    install(SIGTSTP, askSuspend);
    install(SIGCONT, cancelSuspend);
    // Not restarted: a read or write the terminal refuses would be tried, and refused, again and
    // again before the player could honour the stop.
    install(SIGTTOU, askSuspend, 0);
    install(SIGTTIN, askSuspend, 0);
    // One that came since the stand-in ended is honoured as a request.
    const sigset_t set = suspendSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// A Ctrl-Z after a stop signal is not honoured: velotap is on its way out. Taken on another
// thread, it may even be handled after a stop that was sent later.
bool suspendAsked() {
    return gSuspendAsked && !gStopAsked;
}

void stopProcess() {
    if (!gSuspendAsked.exchange(false) || gStopAsked)
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
    // SA_NODEFER: the alarm after the one that gives up must reach the handler again.
    static const bool installed = (install(SIGALRM, onAlarm, SA_RESTART | SA_NODEFER), true);
    (void)installed;
    gAlarms = 0;
    setAlarm(kAlarmMicroseconds);
    // SIGTTOU and SIGTTIN are not restarted: one taken inside the library's own request to its
    // server would break that request off. It is taken once the call has returned.
    const sigset_t set = terminalSignals();
    pthread_sigmask(SIG_BLOCK, &set, &gMaskBeforeWatch);
}

void disarmWatchdog() {
    setAlarm(0);
    pthread_sigmask(SIG_SETMASK, &gMaskBeforeWatch, nullptr);
}
