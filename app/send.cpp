// Sending one message: its turn in the pacing, the library's refusals and errors, the pedals sent.
#include "app/send.h"

#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <iostream>
#include <string>

#include "app/clock.h"
#include "app/settings.h"
#include "app/signals.h"
#include "app/wait.h"

// Token bucket in microseconds of credit: 64 messages at once, then one per 500 us.
static const int64_t kMessageCost = 500;
static const int64_t kBurstCredit = 64 * kMessageCost;
static int64_t gCredit = kBurstCredit;
static int64_t gLastRefill = 0;

// Credits the time passed since the last refill, up to a full burst.
static void refillCredit() {
    const int64_t now = nowMicroseconds();
    gCredit = std::min(kBurstCredit, gCredit + (now - gLastRefill));
    gLastRefill = now;
}

static bool gRefused = false;
// An error (not a warning) the library met since the last checkLibraryError or send.
static bool gErrorPending = false;
static RtMidiError gPendingError("");
static long gLostCount = 0;
// The last sustain pedal value sent on each channel.
static unsigned char gPedalValue[16] = {};

void takeLibraryError(int type, const std::string& text) {
    // The ALSA sequencer's output queue was full: the message was not queued.
    if (text.find("error sending MIDI message") != std::string::npos) {
        gRefused = true;
        return;
    }
    // As the library itself prints them (its debugging warnings not at all). Errors are also
    // thrown once the call that met them returns, so that what was being opened is given up.
    if (type == RtMidiError::DEBUG_WARNING)
        return;
    std::cerr << '\n' << text << "\n\n";
    if (type == RtMidiError::WARNING)
        return;
    gPendingError = RtMidiError(text, static_cast<RtMidiError::Type>(type));
    gErrorPending = true;
}

void checkLibraryError() {
    if (gErrorPending) {
        gErrorPending = false;
        throw gPendingError;
    }
}

int64_t sendableAt() {
    refillCredit();
    return gLastRefill + std::max<int64_t>(0, kMessageCost - gCredit);
}

void sendMidi(const std::vector<unsigned char>& message) {
    // Nothing would take it from the library's queue, which would fill and hold the caller.
    if (gMidiOut == nullptr || outputLost())
        return;
    // A sleep that overshoots leaves the extra time as credit, so the next message waits that
    // much less: over a long run the rate is one message per kMessageCost, never more.
    for (int64_t at = sendableAt(); nowMicroseconds() < at; at = sendableAt())
        sleepUntil(at);
    refillCredit();
    gCredit -= kMessageCost;
    // Once many were lost the receiver is gone for good: stop spending time on retries.
    const int tries = gLostCount < 50 ? 20 : 1;
    for (int attempt = 1;; ++attempt) {
        gRefused = false;
        watched([&] { gMidiOut->sendMessage(&message); });
        // An error in sending has been shown; playing goes on.
        gErrorPending = false;
        if (!gRefused)
            break;
        if (attempt == tries) {
            ++gLostCount;
            return;
        }
        pauseMicroseconds(1000);
    }
    if ((message[0] & 0xF0) == 0xB0 && message[1] == 0x40)
        gPedalValue[message[0] & 0x0F] = message[2];
}

void sendMessage3(std::vector<unsigned char>& message, unsigned char status, unsigned char data1,
                  unsigned char data2) {
    message[0] = status;
    message[1] = data1;
    message[2] = data2;
    sendMidi(message);
}

int pedalValue(int channel) {
    return gPedalValue[channel];
}

bool pedalDown(int channel) {
    // MIDI counts 64 and above as down.
    return gPedalValue[channel] >= 64;
}

void reportLostMessages() {
    if (gLostCount > 0)
        std::cerr << "velotap: " << gLostCount << " MIDI messages could not be sent\n";
}
