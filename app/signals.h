// What the user asks by signal: stop (Ctrl-C, SIGTERM, SIGHUP) and Ctrl-Z. The handlers only
// note the request and wake the player, whichever thread takes the signal; the player honours
// the request in its wait (app/requests.h). Also the watchdog's alarm.
#pragma once

#include <signal.h>

// Opens the wake-up; before any handler that writes to it is installed.
void openWakeUp();

// Ends the player's current or next wait early, so that it looks at the requests. Safe in a
// signal handler, on any thread.
void wakeSleeper();

// The descriptor a wait watches for wakeSleeper (-1 when there is none), and the call that
// empties it once the waiter has woken.
int wakeUpFd();
void clearWakeUp();

// The stop handler: asks to stop (stopAsked, gIsDone) and wakes the player.
void finish(int);

// True once a stop signal came. Unlike gIsDone, which an undecodable event also sets, this is
// the user asking to leave now.
bool stopAsked();

// Ctrl-Z (SIGTSTP), the terminal's stops (SIGTTOU, SIGTTIN) and the continue: the suspend
// signals. While playing, velotap's own thread alone takes them, so that their handlers run in
// the order the signals came (two threads could run them the other way round, and a quick fg
// would be lost). A thread is born with the signal mask of the thread that starts it, so
// velotap's own thread holds them from the start, and every thread it starts (the MIDI
// libraries', the writers) holds them for good. Until the song a thread of their own takes them
// with their default action: Ctrl-Z stops velotap at once, wherever it is (looking for the MIDI
// system, clearing notes, opening a FIFO), and fg continues it, as any program.
void holdSuspendSignals();

// Installs finish for SIGINT, SIGTERM and SIGHUP, and the Ctrl-Z and continue handlers (play
// mode only); velotap's own thread takes the suspend signals from here on, and the thread that
// took them before the song is gone: a Ctrl-Z sent before has stopped velotap then and cannot
// stop the song. SIGTTOU and SIGTTIN, which a background player meets writing to or reading from
// its terminal, count as Ctrl-Z.
void installInterruptHandler();

// Holds the suspend signals on the calling thread while it lives: a thread started meanwhile
// holds them for good, whatever the caller's mask.
class SuspendSignalsHeld {
  public:
    SuspendSignalsHeld();
    ~SuspendSignalsHeld();
    SuspendSignalsHeld(const SuspendSignalsHeld&) = delete;
    SuspendSignalsHeld& operator=(const SuspendSignalsHeld&) = delete;

  private:
    sigset_t before_;
};

// Around a write that the terminal refuses (stty tostop, velotap in the background), on a thread
// that holds the suspend signals: the terminal raises SIGTTOU, which stops velotap as it would
// any program, only for a thread that takes it, and else lets the write through. In an orphaned
// process group the write fails instead.
void takeTerminalOutputStop(bool take);

// True from a Ctrl-Z until stopProcess honours it, a continue cancels it or a stop is asked.
bool suspendAsked();

// Stops the whole process, as Ctrl-Z asked, and returns once it is continued. A continue that
// came since the Ctrl-Z (a quick fg) has cancelled it: then it returns at once.
void stopProcess();

// A MIDI service that hangs can leave the library waiting for good: a call that has not
// returned after 10 s ends the process with status 1 and one line on standard error. A busy
// JACK server can hold a call for seconds (a synchronous one whose synthesizer was killed stalls
// every client for 5 s); one that went away is noticed at once otherwise (app/jack_server.cpp).
// Time the process spends stopped (Ctrl-Z, SIGSTOP) adds at most 0.1 s to that.
void armWatchdog();
void disarmWatchdog();

// Runs call under the watchdog; the alarm is disarmed however call ends.
template <typename Call> void watched(Call call) {
    struct Armed {
        Armed() { armWatchdog(); }
        ~Armed() { disarmWatchdog(); }
    } armed;
    call();
}
