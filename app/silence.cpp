// Silencing: the notes this run left sounding, then the sustain pedals.
#include "app/silence.h"

#include <vector>

#include "app/send.h"
#include "app/settings.h"

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
