// The MIDI file as a stream that never holds the player: a pipe or FIFO whose writer is slow
// is waited for through the player's wait, which honours a stop or a Ctrl-Z meanwhile.
#pragma once

#include <streambuf>

// An open file descriptor read as a stream, closed with it. A stop request ends the stream.
class InputFile : public std::streambuf {
  public:
    explicit InputFile(int fd);
    ~InputFile() override;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

  protected:
    int_type underflow() override;
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

  private:
    int fd_;
    char buffer_[65536];
};
