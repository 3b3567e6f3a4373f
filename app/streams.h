// Standard output and error while a song plays: whole lines handed to a thread of their own, so
// that no reader, terminal or disk can hold the player, however slowly it takes them.
#pragma once

// Opens a closed descriptor 0, 1 or 2 on /dev/null, before velotap opens any of its own: one of
// those would take the number, and what is meant for standard output would go there.
void keepStandardDescriptors();

// Makes std::cout and std::cerr write through buffers of this file, whole lines at a time, and
// at once: until the song plays the program waits for its output as any program does.
void installStandardOutputs();

// From here on the lines go to the writer thread, in the order printed, both descriptors on one
// queue; up to 16 MiB wait per descriptor, past which lines are dropped and counted. Nothing
// here blocks the caller.
void queueStandardOutputs();

// True while lines wait for the writer or one is being written.
bool outputPending();

// Calls wakeSleeper (app/signals.h) each time the writer has written all it had: for a wait
// that waits for the readers.
void wakeWhenWritten();

// One line on standard error for each of the two that dropped lines.
void reportDroppedLines();
