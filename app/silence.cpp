#include "app/silence.h"

#include <vector>

#include "app/clock.h"
#include "app/send.h"
#include "app/settings.h"
#include "app/signals.h"

// The three bytes every message of this file is written into: storage is taken once.
static std::vector<unsigned char> gMessage(3, 0);

void releasePedals(bool allChannels) {
    for (int channel = 0; channel < 16; ++channel)
        if (channel < 2 || allChannels || pedalDown(channel))
            sendMessage3(gMessage, 0xB0 + channel, 0x40, 0x00);
}

void silenceOutput(bool clearFlags) {
    for (int note = 0; note < 128; ++note) {
        if (gSoundingFlags[note] == 0)
            continue;
        for (int channel = 0; channel < 16; ++channel)
            if (gSoundingFlags[note] & (1u << channel))
                sendMessage3(gMessage, 0x90 + channel, note, 0x00);
        if (clearFlags)
            gSoundingFlags[note] = 0;
    }
    // A released note goes on ringing under a held pedal.
    releasePedals(false);
}

void suspendPlayer() {
    int held[16];
    for (int channel = 0; channel < 16; ++channel)
        held[channel] = pedalDown(channel) ? pedalValue(channel) : 0;
    silenceOutput(true);
    // Let the last messages leave before the whole process, the library's threads with it,
    // stands still.
    pauseMicroseconds(100000);
    stopProcess();
    // A stop signal sent with the continue (a shell's kill %1 sends SIGTERM, then SIGCONT) may
    // be taken by another thread a moment after this one goes on: let it land before anything
    // more is sent.
    const int64_t grace = nowMicroseconds() + 20000;
    while (!gIsDone && !sleepUntil(grace)) {
    }
    // The song's pedals go down again, so that the rest of a pedalled passage rings as
    // written; the notes silenced above stay silent.
    for (int channel = 0; channel < 16; ++channel)
        if (held[channel] != 0 && !gIsDone)
            sendMessage3(gMessage, 0xB0 + channel, 0x40, held[channel]);
}
