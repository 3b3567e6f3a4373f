#include "playback/scheduler.h"

#include <algorithm>

#include "app/clock.h"
#include "app/requests.h"
#include "app/settings.h"
#include "smf/MIDITrack.h"

// Monotonic time, in microseconds, that the next event is due; moved on by every wait.
static int64_t gDeadline = 0;
// What the whole-microsecond waits left out, in microseconds times the division: carried into
// the next wait so that thousands of truncations do not add up to an audible drift.
static int64_t gWaitRemainder = 0;
static const int64_t kMaxLateness = 100000;

// a * b + c, or the largest value when that does not fit (a, b and c are not negative).
static int64_t mulAddSaturated(int64_t a, int64_t b, int64_t c) {
    int64_t result;
    if (__builtin_mul_overflow(a, b, &result) || __builtin_add_overflow(result, c, &result))
        return INT64_MAX;
    return result;
}

void sleepPastDeadline(int64_t usec) {
    // Far behind means the player was stopped (Ctrl-Z, SIGSTOP, a suspended machine): go on
    // from now instead of sending all that fell due meanwhile at once. Less lateness than
    // that is caught up, so that timing does not drift.
    const int64_t now = nowMicroseconds();
    if (now - gDeadline > kMaxLateness)
        gDeadline = now;
    gDeadline = usec > INT64_MAX - gDeadline ? INT64_MAX : gDeadline + usec;
    // A stop request ends the wait. After a Ctrl-Z the wait goes on for what was left of it.
    // When playing has fallen behind, the deadline has passed already and it returns at once.
    waitUntil(&gDeadline, true);
}

// Microseconds from tick 0 to tick under SMPTE time code (negative division): the high byte
// is minus the frames per second, the low byte the ticks per frame. -1 when not interpretable.
static int64_t smpteMicroseconds(int64_t tick) {
    const int fps = -static_cast<int8_t>(gMidiHeader.division >> 8);
    const int ticksPerFrame = gMidiHeader.division & 0xFF;
    if (ticksPerFrame == 0 || (fps != 24 && fps != 25 && fps != 29 && fps != 30))
        return -1;
    // 29 stands for 29.97 frames per second (drop frame): 30000 frames in 1001 seconds.
    const int64_t perTicks = int64_t{ticksPerFrame} * (fps == 29 ? 30000 : fps);
    const int64_t usec = fps == 29 ? 1001000000 : 1000000;
    // tick * usec / perTicks, exactly, without forming the product of the whole tick count.
    return mulAddSaturated(tick / perTicks, usec, tick % perTicks * usec / perTicks);
}

// The wait, in microseconds, to go from tick current to tick target (not before it).
static int64_t microsecondsBetween(int64_t current, int64_t target) {
    const int64_t division = gMidiHeader.division;
    if (division > 0) {
        if (gTempo <= 0)
            return 0;
        // (tempo * ticks + remainder) / division, exactly, in 64 bits: the whole divisions of
        // the ticks apart, so that only a wait too long for any clock saturates.
        const int64_t ticks = target - current;
        const int64_t rest = gTempo * (ticks % division) + gWaitRemainder;
        gWaitRemainder = rest % division;
        return mulAddSaturated(gTempo, ticks / division, rest / division);
    }
    if (division < 0) {
        // Taken from the absolute tick times, so that rounding never accumulates.
        const int64_t from = smpteMicroseconds(current);
        const int64_t to = smpteMicroseconds(target);
        if (from >= 0 && to >= 0)
            return to - from;
    }
    // Division 0, or a time code that cannot be read: no pauses.
    return 0;
}

// Moves the current tick to target, through wait for the time between them.
static void advanceTo(int64_t* current, int64_t target, WaitFunction wait) {
    const int64_t usec = microsecondsBetween(*current, target);
    if (usec > 0)
        wait(usec);
    *current = target;
}

// Format 1: all tracks together, one event per due track per pass.
static void playMerged(MIDITrack* head, WaitFunction wait) {
    int32_t trackCount = 0;
    for (MIDITrack* t = head; t != nullptr; t = t->nextTrack) {
        t->startPlay();
        ++trackCount;
    }
    for (MIDITrack* t = head; t != nullptr; t = t->nextTrack)
        t->loadNextDelta();
    if (gIsDone)
        return;
    int64_t current = 0;
    for (;;) {
        int32_t ended = 0;
        int64_t earliest = -1;
        for (MIDITrack* t = head; t != nullptr; t = t->nextTrack) {
            if (t->atEnd)
                ++ended;
            else if (earliest < 0 || t->eventTime < earliest)
                earliest = t->eventTime;
        }
        if (ended >= trackCount)
            return;
        if (earliest > current) {
            advanceTo(&current, earliest, wait);
            // A stop that cut the wait short: what the song had not reached stays unplayed.
            if (gIsDone)
                return;
        }
        for (MIDITrack* t = head; t != nullptr; t = t->nextTrack) {
            // A stop request during the pass (a Ctrl-Z, then kill) ends it.
            if (gIsDone)
                return;
            if (!t->atEnd && t->eventTime <= current) {
                t->playNextEvent();
                t->loadNextDelta();
            }
        }
        if (gIsDone)
            return;
    }
}

// True for a tempo change: the time up to it passes at the tempo before it.
static bool isTempoEvent(const MIDITrack* t) {
    return t->pendingByte == 0xFF && t->readPos < t->trackLength &&
           t->trackData[t->readPos] == 0x51;
}

// Formats 0 and 2: one track after another. Other meta events are not waited for: their delta
// is part of the wait before the next event, so that a trailing end of track costs no time.
static void playSequential(MIDITrack* head, WaitFunction wait) {
    if (head == nullptr || gIsDone)
        return;
    for (MIDITrack* t = head; t != nullptr; t = t->nextTrack) {
        int64_t current = 0;
        t->startPlay();
        t->loadNextDelta();
        for (;;) {
            if (gIsDone)
                return;
            if (t->atEnd)
                break;
            if (t->pendingByte != 0xFF || isTempoEvent(t))
                advanceTo(&current, t->eventTime, wait);
            // A stop that cut the wait short: the event was not due yet.
            if (gIsDone)
                return;
            t->playNextEvent();
            t->loadNextDelta();
        }
    }
}

void playTracks(MIDITrack* head, WaitFunction wait) {
    gDeadline = nowMicroseconds();
    gWaitRemainder = 0;
    switch (static_cast<uint16_t>(gMidiHeader.format)) {
    case 0:
    case 2:
        playSequential(head, wait);
        break;
    case 1:
        playMerged(head, wait);
        break;
    default:
        break;
    }
}

void deleteTracks(MIDITrack* head) {
    while (head != nullptr) {
        MIDITrack* next = head->nextTrack;
        delete head;
        head = next;
    }
}
