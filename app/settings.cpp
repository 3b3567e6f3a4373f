// The player settings, with their initial values.
#include "app/settings.h"

static_assert(std::atomic<bool>::is_always_lock_free, "gIsDone is written from a signal handler");

float gTempoScale = 1.0f;
int32_t gTempo = 500000;
std::atomic<bool> gIsDone{false};
bool gIsVerbose = false;
bool gFixedTempo = false;
uint16_t gSoundingFlags[128] = {};
RtMidiOut* gMidiOut = nullptr;
MidiHeader gMidiHeader = {0, 0, 0};
