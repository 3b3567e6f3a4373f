#include "app/streams.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <string>

#include "app/wait.h"

namespace {

const size_t kMostPending = 16 << 20;
// Past this much waiting text, each line also writes what the descriptor takes at once, so that a
// long burst without waits drops nothing a quick reader would take.
const size_t kWriteEagerly = 64 << 10;

// Text for one standard descriptor, taken line by line from its stream.
class Outlet : public std::streambuf {
  public:
    Outlet(int fd, const char* name) : fd_(fd), name_(name) {}

    void queue() {
        queued_ = true;
        // A terminal is written through an open file description of velotap's own, which does
        // not block: a terminal takes fewer bytes than a pipe when select says it is ready. The
        // inherited one is shared with the shell and keeps its own mode.
        const char* tty = isatty(fd_) ? ttyname(fd_) : nullptr;
        const int own = tty ? open(tty, O_WRONLY | O_NOCTTY | O_NONBLOCK) : -1;
        if (own >= 0 && own < FD_SETSIZE) {
            fcntl(own, F_SETFD, FD_CLOEXEC);
            writeFd_ = own;
        } else if (own >= 0) {
            close(own);
        }
    }

    bool pending() const { return done_ < text_.size(); }
    int fd() const { return writeFd_; }
    long dropped() const { return dropped_; }
    const char* name() const { return name_; }

    // One write, of no more than PIPE_BUF: a pipe that select calls ready takes that much whole.
    // True when the descriptor took some.
    bool writeSome() {
        const size_t chunk = std::min<size_t>(text_.size() - done_, PIPE_BUF);
        const ssize_t written = write(writeFd_, text_.data() + done_, chunk);
        if (written > 0)
            done_ += static_cast<size_t>(written);
        else if (written == 0 || (errno != EINTR && errno != EAGAIN))
            done_ = text_.size(); // a closed pipe, a full disk: the text is dropped, play goes on
        if (done_ == text_.size()) {
            text_.clear();
            done_ = 0;
        } else if (done_ >= kMostPending / 4) {
            text_.erase(0, done_);
            done_ = 0;
        }
        return written > 0;
    }

  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char byte = traits_type::to_char_type(c);
            xsputn(&byte, 1);
        }
        return traits_type::not_eof(c);
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override {
        line_.append(text, static_cast<size_t>(count));
        const size_t end = line_.rfind('\n');
        if (end != std::string::npos)
            take(end + 1);
        return count;
    }

    int sync() override {
        take(line_.size());
        return 0;
    }

  private:
    // Moves the first count bytes of line_ (whole lines, but for a flush) to the text to write.
    void take(size_t count) {
        if (!queued_ || text_.size() - done_ + count <= kMostPending)
            text_.append(line_, 0, count);
        else
            dropped_ += std::max<long>(1, std::count(line_.begin(), line_.begin() + count, '\n'));
        line_.erase(0, count);
        if (!queued_)
            writeAll();
        else if (text_.size() - done_ >= kWriteEagerly && readyNow())
            writeSome();
    }

    bool readyNow() const {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(writeFd_, &writable);
        timeval zero = {};
        return select(writeFd_ + 1, nullptr, &writable, nullptr, &zero) > 0;
    }

    void writeAll() {
        while (pending()) {
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(writeFd_, &writable);
            // A descriptor left non-blocking by another program takes its time.
            if (!writeSome() && pending() && errno == EAGAIN)
                select(writeFd_ + 1, nullptr, &writable, nullptr, nullptr);
        }
    }

    const int fd_;
    int writeFd_ = fd_;
    const char* const name_;
    std::string line_; // the line being printed
    std::string text_; // to be written, from done_ on
    size_t done_ = 0;
    bool queued_ = false;
    long dropped_ = 0;
};

// Never deleted: the streams are flushed through them at exit, after static objects are gone.
Outlet* gOutlets[2] = {};

} // namespace

void keepStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open takes the lowest free number, which is fd.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened > fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void installStandardOutputs() {
    gOutlets[0] = new Outlet(STDOUT_FILENO, "standard output");
    gOutlets[1] = new Outlet(STDERR_FILENO, "standard error");
    std::cout.rdbuf(gOutlets[0]);
    std::cerr.rdbuf(gOutlets[1]);
    // Whole lines, as on standard output: a line is never cut by another program's.
    std::cerr.unsetf(std::ios::unitbuf);
}

void queueStandardOutputs() {
    for (Outlet* outlet : gOutlets)
        outlet->queue();
}

bool outputPending() {
    return gOutlets[0]->pending() || gOutlets[1]->pending();
}

int addPendingOutputs(fd_set* writable) {
    int top = -1;
    for (const Outlet* outlet : gOutlets) {
        if (outlet->pending()) {
            FD_SET(outlet->fd(), writable);
            top = std::max(top, outlet->fd());
        }
    }
    return top;
}

bool writeReadyOutputs(const fd_set& writable) {
    bool wrote = false;
    for (Outlet* outlet : gOutlets)
        if (outlet->pending() && FD_ISSET(outlet->fd(), &writable))
            wrote = outlet->writeSome() || wrote;
    return wrote;
}

void reportDroppedLines() {
    for (const Outlet* outlet : gOutlets)
        if (outlet->dropped() > 0)
            std::cerr << "velotap: " << outlet->dropped() << " lines of " << outlet->name()
                      << " were dropped: they were not read in time\n";
}

InputFile::InputFile(int fd) : fd_(fd) {
    setg(buffer_, buffer_, buffer_);
}

InputFile::~InputFile() {
    close(fd_);
}

InputFile::int_type InputFile::underflow() {
    while (waitForInput(fd_) == Woken::kDone) {
        const ssize_t count = read(fd_, buffer_, sizeof buffer_);
        if (count > 0) {
            setg(buffer_, buffer_, buffer_ + count);
            return traits_type::to_int_type(buffer_[0]);
        }
        // Interrupted (SIGTTIN, say): the wait honours what was asked, then the read goes on.
        if (count == 0 || (errno != EINTR && errno != EAGAIN))
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
