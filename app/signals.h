// Interrupts while playing: the handler, waking the player, and stopping with Ctrl-Z.
#pragma once

#include <cstdint>

// The interrupt handler: asks the player to stop and wakes it, whichever thread runs it.
void finish(int);

// Installs finish for SIGINT, SIGTERM and SIGHUP, and the Ctrl-Z handler (play mode only).
void installInterruptHandler();

// Sleeps until the monotonic time deadline (microseconds), or until an interrupt or Ctrl-Z
// wakes the player. Returns true when woken early by Ctrl-Z.
bool sleepUntil(int64_t deadline);

// Monotonic time in microseconds.
int64_t monotonicMicroseconds();

// Silences what sounds, stops the process as Ctrl-Z asked, and returns once it is continued.
void suspendPlayer();
