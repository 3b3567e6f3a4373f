// Standard output and error while a song plays: whole lines handed to a thread of their own, so
// that no reader, terminal or disk can hold the player, however slowly it takes them.
#pragma once

// Opens a closed descriptor 0, 1 or 2 on /dev/null, before velotap opens any of its own: one of
// those would take the number, and what is meant for standard output would go there.
void keepStandardDescriptors();

// Makes std::cout and std::cerr write through buffers of this file, whole lines at a time, and
// at once: until the song plays the program waits for its output as any program does.
void installStandardOutputs();

// From here on the lines go to writer threads, in the order printed: one queue and one thread
// where standard output and error lead to one place (one pipe, file or terminal), so that their
// lines keep the one order; else one each, so that neither waits for the other's reader. Up to
// 16 MiB wait per descriptor, past which lines are dropped and counted. From then on nothing
// here blocks the caller. Where a writer cannot be started, one line on standard error says so
// (written at once, before the song), and what it would have written is dropped.
void queueStandardOutputs();

// True while lines wait for a writer or one is being written.
bool outputPending();

// The same for standard error alone, where it has a queue of its own (else false): once a stop
// ends the wait for standard output's reader, its last lines may still go out.
bool errorPending();

// Calls wakeSleeper (app/signals.h) each time a writer has written all it had: for a wait
// that waits for the readers.
void wakeWhenWritten();

// One line on standard error for each of the two that dropped lines.
void reportDroppedLines();
