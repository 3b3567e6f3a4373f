#include "app/streams.h"

#include <limits.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

#include "app/clock.h"
#include "app/settings.h"
#include "app/signals.h"
#include "app/silence.h"

namespace {

class StandardOutput : public std::streambuf {
  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char byte = traits_type::to_char_type(c);
            xsputn(&byte, 1);
        }
        return traits_type::not_eof(c);
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override {
        pending_.append(text, static_cast<size_t>(count));
        if (std::memchr(text, '\n', static_cast<size_t>(count)) != nullptr ||
            pending_.size() >= PIPE_BUF)
            writePending();
        return count;
    }

    int sync() override {
        writePending();
        return 0;
    }

  private:
    // Once a stop is asked, nothing may keep the player from silencing: it writes only what
    // standard output takes at once.
    static bool writable() {
        return gIsDone ? readyNow(STDOUT_FILENO, true) : waitUntilReady(STDOUT_FILENO, true);
    }

    void writePending() {
        size_t done = 0;
        while (done < pending_.size()) {
            if (!writable()) {
                if (gIsDone)
                    break;
                if (suspendAsked())
                    suspendPlayer();
                continue;
            }
            // No more than PIPE_BUF at once: a pipe that is ready takes that much whole.
            const size_t chunk = std::min<size_t>(pending_.size() - done, PIPE_BUF);
            const ssize_t written = write(STDOUT_FILENO, pending_.data() + done, chunk);
            if (written > 0)
                done += static_cast<size_t>(written);
            else if (written < 0 && errno != EINTR)
                break; // a closed pipe, say: the text is dropped and playing goes on
        }
        pending_.clear();
    }

    std::string pending_;
};

} // namespace

void installStandardOutput() {
    // Never deleted: std::cout is flushed through it at exit, after static objects are gone.
    static StandardOutput* const buffer = new StandardOutput;
    std::cout.rdbuf(buffer);
}

InputFile::InputFile(int fd) : fd_(fd) {
    setg(buffer_, buffer_, buffer_);
}

InputFile::~InputFile() {
    close(fd_);
}

InputFile::int_type InputFile::underflow() {
    while (!gIsDone) {
        if (!waitUntilReady(fd_, false)) {
            stopProcess();
            continue;
        }
        const ssize_t count = read(fd_, buffer_, sizeof buffer_);
        if (count > 0) {
            setg(buffer_, buffer_, buffer_ + count);
            return traits_type::to_int_type(buffer_[0]);
        }
        if (count == 0 || errno != EINTR)
            break;
    }
    return traits_type::eof();
}

InputFile::pos_type InputFile::seekoff(off_type off, std::ios_base::seekdir dir,
                                       std::ios_base::openmode) {
    // The bytes read ahead into the buffer are not consumed yet.
    if (dir == std::ios_base::cur)
        off -= egptr() - gptr();
    const int whence = dir == std::ios_base::beg   ? SEEK_SET
                       : dir == std::ios_base::cur ? SEEK_CUR
                                                   : SEEK_END;
    // An offset that a 32-bit off_t cannot hold fails, as a seek in a pipe does.
    const off_t offset = static_cast<off_t>(off);
    const off_t at = offset == off ? lseek(fd_, offset, whence) : -1;
    if (at < 0)
        return pos_type(off_type(-1));
    setg(buffer_, buffer_, buffer_);
    return pos_type(at);
}

InputFile::pos_type InputFile::seekpos(pos_type pos, std::ios_base::openmode which) {
    return seekoff(off_type(pos), std::ios_base::beg, which);
}
