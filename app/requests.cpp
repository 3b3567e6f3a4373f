// The player's wait: a stop and a Ctrl-Z honoured around every sleep, and the Ctrl-Z sequence.
#include "app/requests.h"

#include <algorithm>

#include "app/clock.h"
#include "app/send.h"
#include "app/signals.h"
#include "app/silence.h"
#include "app/streams.h"
#include "app/wait.h"

static bool gPlaying = false;
// The three bytes the pedals are pressed again with: storage is taken once.
static std::vector<unsigned char> gMessage(3, 0);
static const int64_t kForever = INT64_MAX;

void setPlaying(bool playing) {
    gPlaying = playing;
}

// A pause that only a stop request ends, and that honours no Ctrl-Z: the steps of honouring
// one. True when a stop ended it.
static bool stoppedDuring(int64_t usec) {
    const int64_t deadline = nowMicroseconds() + usec;
    while (!stopAsked() && nowMicroseconds() < deadline)
        sleepUntil(deadline);
    return stopAsked();
}

// Ctrl-Z while playing: silence what sounds, let it leave, stop the whole process until it is
// continued, then press again the sustain pedals the song held down, so that a pedalled passage
// goes on ringing as written; the notes silenced stay silent. A stop request ends it at every
// step, and nothing is pressed again after one.
static void suspendPlayer() {
    int held[16];
    for (int channel = 0; channel < 16; ++channel)
        held[channel] = pedalDown(channel) ? pedalValue(channel) : 0;
    silenceOutput(true);
    do {
        // The last messages leave before the whole process, the library's threads with it,
        // stands still.
        if (stoppedDuring(100000))
            return;
        stopProcess();
        // A stop signal sent with the continue (a shell's kill %1 sends SIGTERM, then SIGCONT)
        // may be taken by another thread a moment after this one goes on: it lands first.
        if (stoppedDuring(20000))
            return;
        // A Ctrl-Z right after fg stops the player again.
    } while (suspendAsked());
    for (int channel = 0; channel < 16; ++channel)
        if (held[channel] != 0)
            sendMessage3(gMessage, 0xB0 + channel, 0x40, held[channel]);
}

// Honours a Ctrl-Z now. True when the process was stopped (or would have been, but for a quick
// fg) and has been continued.
static bool honourSuspend() {
    if (!suspendAsked())
        return false;
    if (gPlaying)
        suspendPlayer();
    else
        stopProcess();
    return true;
}

// drain, when not null, says whether output waits for a reader: the wait ends once none does.
static Woken waitFor(int64_t* deadline, bool stopEnds, int inputFd, bool (*drain)()) {
    for (;;) {
        const int64_t left = *deadline - nowMicroseconds();
        if (honourSuspend()) {
            const int64_t now = nowMicroseconds();
            *deadline = left > kForever - now ? kForever : now + std::max<int64_t>(left, 0);
        }
        if (stopEnds && stopAsked())
            return Woken::kStopped;
        // A JACK server that went away ends the song, but not the wait for the reader.
        if (stopEnds && !drain && outputLost())
            return Woken::kStopped;
        if (drain && !drain())
            return Woken::kDone;
        if (nowMicroseconds() >= *deadline)
            return Woken::kDone;
        if (sleepUntil(*deadline, inputFd) == Woke::kInput)
            return Woken::kDone;
    }
}

Woken waitUntil(int64_t* deadline, bool stopEnds) {
    return waitFor(deadline, stopEnds, -1, nullptr);
}

void pauseFor(int64_t usec) {
    int64_t deadline = nowMicroseconds() + usec;
    waitFor(&deadline, false, -1, nullptr);
}

Woken waitForInput(int fd) {
    int64_t forever = kForever;
    return waitFor(&forever, true, fd, nullptr);
}

void waitForReaders() {
    wakeWhenWritten();
    int64_t forever = kForever;
    waitFor(&forever, true, -1, outputPending);
    // A stop ends the wait for standard output's reader at once. Standard error, where it has a
    // queue of its own, still gets 0.1 s for its last lines (how many were dropped, say): no more,
    // as nobody may read it either.
    int64_t grace = nowMicroseconds() + 100000;
    waitFor(&grace, false, -1, errorPending);
}

bool playMessage(std::vector<unsigned char>& message, unsigned char status, unsigned char data1,
                 unsigned char data2) {
    // The pacing wait honours a Ctrl-Z, and a stop ends it: the message is then not sent.
    int64_t turn = sendableAt();
    if (waitUntil(&turn, true) == Woken::kStopped)
        return false;
    sendMessage3(message, status, data1, data2);
    return true;
}
