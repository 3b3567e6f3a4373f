// What the user asks by signal: stop (Ctrl-C, SIGTERM, SIGHUP) and Ctrl-Z. The handlers only
// note the request and wake the player, whichever thread takes the signal; the player honours
// the request in its wait (app/requests.h). Also the watchdog's alarm.
#pragma once

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

// Installs finish for SIGINT, SIGTERM and SIGHUP, and the Ctrl-Z and continue handlers (play
// mode only). SIGTTOU and SIGTTIN, which a background player meets writing to or reading from its
// terminal, count as Ctrl-Z.
void installInterruptHandler();

// Keeps Ctrl-Z (SIGTSTP, SIGTTOU, SIGTTIN) and the continue from the calling thread and the
// threads it starts from here on (the MIDI libraries', the writer's): velotap's own thread takes
// them all, in the order they came. Those threads never read the terminal, and a signal they
// took would not interrupt the call that raised it.
void holdTerminalSignals();

// For the writer thread, around each write: a background write to the terminal (stty tostop)
// raises SIGTTOU only in a thread that takes it; the write is then broken off and tried again
// after fg.
void takeTerminalOutputStop(bool take);

// True from a Ctrl-Z until stopProcess honours it, a continue cancels it or a stop is asked.
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
