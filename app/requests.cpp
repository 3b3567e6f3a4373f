#include "app/requests.h"

#include <vector>

#include "app/clock.h"
#include "app/send.h"
#include "app/settings.h"
#include "app/signals.h"
#include "app/silence.h"
#include "app/wait.h"

static Phase gPhase = Phase::kNothingSounds;
// The three bytes the pedals are pressed again with: storage is taken once.
static std::vector<unsigned char> gMessage(3, 0);

void setPhase(Phase phase) {
    gPhase = phase;
}

bool playing() {
    return gPhase == Phase::kPlaying;
}

// A pause that a stop request ends: true when it did.
static bool stoppedDuring(int64_t usec) {
    int64_t deadline = nowMicroseconds() + usec;
    return waitUntil(&deadline, true) == Woken::kStopped;
}

// Ctrl-Z while playing: silence what sounds, let it leave, stop the whole process until it is
// continued, then press again the sustain pedals the song held down, so that a pedalled passage
// goes on ringing as written; the notes silenced stay silent. A stop request ends it at every
// step, and nothing is pressed again after one.
static void suspendPlayer() {
    int held[16];
    for (int channel = 0; channel < 16; ++channel)
        held[channel] = pedalDown(channel) ? pedalValue(channel) : 0;
    gPhase = Phase::kSilencing;
    silenceOutput(true);
    do {
        // The last messages leave before the whole process, the library's threads with it,
        // stands still.
        if (stoppedDuring(100000))
            break;
        stopProcess();
        // A stop signal sent with the continue (a shell's kill %1 sends SIGTERM, then SIGCONT)
        // may be taken by another thread a moment after this one goes on: it lands first.
        if (stoppedDuring(20000))
            break;
        // A Ctrl-Z right after fg stops the player again.
    } while (suspendAsked());
    gPhase = Phase::kPlaying;
    for (int channel = 0; channel < 16; ++channel)
        if (held[channel] != 0 && !gIsDone)
            sendMessage3(gMessage, 0xB0 + channel, 0x40, held[channel]);
}

bool honourSuspend() {
    if (!suspendAsked())
        return false;
    switch (gPhase) {
    case Phase::kSilencing:
        return false;
    case Phase::kPlaying:
        suspendPlayer();
        return true;
    case Phase::kNothingSounds:
    default:
        stopProcess();
        return true;
    }
}

bool honourRequests() {
    honourSuspend();
    return !gIsDone;
}
