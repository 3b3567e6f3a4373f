// One track chunk of a MIDI file, held in memory with its read cursor and pending event.
#pragma once

#include <cstdint>
#include <istream>
#include <vector>

class MIDITrack {
  public:
    // Reads the chunk's body (length bytes, or what is left of the stream) from in.
    MIDITrack(int64_t length, std::istream& in, int32_t index);
    ~MIDITrack();
    MIDITrack(const MIDITrack&) = delete;
    MIDITrack& operator=(const MIDITrack&) = delete;

    // Read primitives. None reads or moves outside the body: a read that would run past its
    // end ends the track instead (atEnd set, cursor at the end) and yields 0; getText keeps
    // the part of the text that lies inside the body.
    int32_t readVarnum();
    int32_t read24Bits();
    int readByte();
    void skipBytes(int64_t count);
    char* getText(char* dest, int32_t len);

    // Rewinds the track and performs the events at its very start that have a zero delta.
    void startPlay();
    // Loads the next event's delta time and first byte, or ends the track.
    void loadNextDelta();
    // Performs the pending event.
    void playNextEvent();

    uint8_t* trackData = nullptr;
    int64_t trackLength = 0;
    int64_t readPos = 0;
    int64_t curDelta = 0;
    uint8_t runningStatus = 0;
    char* textBuffer = nullptr;
    int32_t trackIndex = 0;
    MIDITrack* nextTrack = nullptr;
    int64_t eventTime = 0;
    bool atEnd = false;
    uint8_t pendingByte = 0;
    std::vector<unsigned char> outMessage;

  private:
    bool overrun(int64_t count);
    void playSysexEvent();
    void playChannelEvent();
    void playMetaEvent();
};
