// Standard output and error, and the file being loaded, as streams that never hold the player: a
// reader that stops reading, or a slow producer, keeps no note sounding and no request waiting.
#pragma once

#include <sys/select.h>

#include <streambuf>

// Opens a closed descriptor 0, 1 or 2 on /dev/null, before velotap opens any of its own: one of
// those would take the number, and what is meant for standard output would go there.
void keepStandardDescriptors();

// Makes std::cout and std::cerr write through buffers of this file, line by line, and at once:
// the program waits for its output as any program does.
void installStandardOutputs();

// From here on (the player runs) the text waits in memory, up to 16 MiB a descriptor, past which
// lines are dropped; the waits (app/wait.h) write it whenever the descriptor is ready.
void queueStandardOutputs();

// True while standard output or error holds text it has not taken yet.
bool outputPending();

// Adds to writable each standard descriptor that holds text; returns the highest, or -1.
int addPendingOutputs(fd_set* writable);

// Writes to each descriptor of writable what it takes without blocking. True when any took some.
bool writeReadyOutputs(const fd_set& writable);

// One line on standard error for each of the two that dropped lines.
void reportDroppedLines();

// An open file descriptor read as a stream, closed with it. A read waits for the data through the
// one wait: a stop request ends the stream, a Ctrl-Z stops the process (nothing sounds yet).
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
