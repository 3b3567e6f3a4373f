// The player's one wait: for its own time, for the file's input, for its readers at the end.
// Every wait looks at the requests before it blocks and after it wakes (app/requests.h), and
// writes the text that waits for standard output and error whenever they are ready.
#pragma once

#include <cstdint>

enum class Woken { kDone, kStopped };

// Opens the wake-up that signal handlers use; before any handler that calls wakeSleeper.
void openWakeUp();

// Ends the current or the next wait early, so that it looks at the requests. Safe in a signal
// handler, on any thread.
void wakeSleeper();

// Waits until the monotonic time *deadline (microseconds). A Ctrl-Z honoured meanwhile moves
// *deadline on by the time spent stopped, so the rest of the wait comes after the continue.
// Returns kStopped as soon as a stop is asked, where stopEnds says so.
Woken waitUntil(int64_t* deadline, bool stopEnds);

// waitUntil for usec from now, which a stop request does not end.
void pauseFor(int64_t usec);

// Waits until fd can be read; kStopped when a stop is asked first.
Woken waitForInput(int fd);

// Waits until standard output and error have taken all the text they hold, as cat would; a stop
// request ends the wait. Then writes what they take at once, and drops the rest.
void waitForReaders();
