// Signals: the stop request, Ctrl-Z, and the watchdog's alarm, all handled the same way.
#pragma once

// The stop handler: sets gIsDone and wakes the player, whichever thread runs it.
void finish(int);

// Installs finish for SIGINT, SIGTERM and SIGHUP, and the Ctrl-Z and continue handlers (play
// mode only). SIGTTOU and SIGTTIN, which a background player meets writing to or reading from its
// terminal, count as Ctrl-Z.
void installInterruptHandler();

// Keeps SIGTTOU and SIGTTIN from the threads the MIDI libraries start from here on, until
// installInterruptHandler: only velotap's own thread, which reads and writes the terminal, may
// take them, as that is the thread they interrupt.
void holdTerminalSignals();

// True from a Ctrl-Z until stopProcess honours it or a continue cancels it.
bool suspendAsked();

// Stops the whole process, as Ctrl-Z asked, and returns once it is continued. A continue that
// came since the Ctrl-Z (a quick fg) has cancelled it: then it returns at once.
void stopProcess();

// A MIDI service that died can leave the library waiting for good: a call that has not
// returned after 2 s ends the process with status 1 and one line on standard error. Time the
// process spends stopped (Ctrl-Z, SIGSTOP) adds at most 0.1 s to that.
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
