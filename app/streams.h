// Standard output and the file being loaded, as streams that never keep a stop request or a
// Ctrl-Z waiting: a reader that stops reading, or a slow producer, blocks no signal.
#pragma once

#include <streambuf>

// Makes std::cout write through a buffer of this file: line by line, each write made only once
// standard output is ready for it. Meanwhile Ctrl-Z silences and stops the player (the text goes
// on where it stopped after fg), and a stop request drops what cannot be written at once.
void installStandardOutput();

// An open file descriptor read as a stream, closed with it. A read waits for the data only until
// a stop request (the stream then ends) or a Ctrl-Z (the process just stops: nothing sounds yet).
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
