// How one message leaves the program: paced, retried when refused, watched for a hang; and not
// at all once the JACK server went away (app/jack_server.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Called by the MIDI library for each error or warning once the output exists: both are shown
// on standard error at once, as the library itself would show them.
void takeLibraryError(int type, const std::string& text);

// Throws, as RtMidiError, the error the library met in the call just made, if any (it has been
// shown already).
void checkLibraryError();

// The monotonic time (microseconds) from which the next message may leave: bursts beyond 64
// messages leave at one message per 0.5 ms, so that no receiver's queue overflows.
int64_t sendableAt();

// Sends the message (status byte first) on gMidiOut once sendableAt has come, sleeping until
// then without looking at any request. A message the library refuses is tried again for a
// short while; one still refused then is counted as lost.
void sendMidi(const std::vector<unsigned char>& message);

// Writes the three bytes into message (which holds exactly three) and sends it.
void sendMessage3(std::vector<unsigned char>& message, unsigned char status, unsigned char data1,
                  unsigned char data2);

// The value of the last sustain pedal message sent on channel (0-15), 0 before any.
int pedalValue(int channel);

// True when the last sustain pedal message sent on channel (0-15) held the pedal down.
bool pedalDown(int channel);

// One line on standard error when messages were lost.
void reportLostMessages();

// From here on libjack's error messages are watched for the JACK server's end (and shown as
// libjack shows them): before any JACK client opens, as libjack's threads read the hook.
void watchJackServer();

// True once the JACK server went away: nothing can reach the port, nothing more is sent, and
// the song ends (gIsDone, and the player is woken).
bool outputLost();
