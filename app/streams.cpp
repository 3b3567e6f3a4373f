// Standard output and error: direct until the song plays, then queues and writer threads.
#include "app/streams.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "app/clock.h"
#include "app/signals.h"

namespace {

const size_t kMostWaiting = 16 << 20;
// Lines of one descriptor in a row are joined up to this size, so that a burst of short lines
// costs a few writes, not one each.
const size_t kLongestBatch = 64 << 10;

struct Batch {
    int stream; // 0: standard output, 1: standard error
    std::string text;
};

// A queue between the player and one writer thread, for the place that standard output, error or
// both lead to. The lock is held only to move a batch in or out, never across a write. Never
// destroyed: the writer thread may still wait on it when the process exits.
struct Queue {
    std::mutex lock;
    std::condition_variable hasText;
    std::deque<Batch> batches;
    size_t waiting[2] = {};
    long dropped[2] = {};
    bool failed[2] = {};
    bool writing = false;
};
// The queue of each descriptor: one for both, or one each. Set before gQueued.
Queue* gQueues[2] = {};
std::atomic<bool> gQueued{false};
std::atomic<bool> gWakeWhenWritten{false};
// Which descriptor is a terminal: set before anything is written.
bool gTerminal[2] = {};

const int kFds[2] = {STDOUT_FILENO, STDERR_FILENO};
const char* const kNames[2] = {"standard output", "standard error"};

// True when fd is velotap's terminal and velotap is in the background, where the terminal
// refuses it writes (stty tostop).
bool terminalRefuses(int fd) {
    termios mode;
    if (tcgetattr(fd, &mode) != 0 || (mode.c_lflag & TOSTOP) == 0)
        return false;
    const pid_t foreground = tcgetpgrp(fd);
    return foreground > 0 && foreground != getpgrp();
}

// Writes all of text to fd as any program would, blocking. Returns 0, or the error that failed
// the descriptor (a closed pipe, a full disk): the rest of its text is dropped, the song goes on.
// A Ctrl-Z does not hold the write up: it goes on until the whole process stops, and after fg
// where it stopped, no line lost or doubled.
int writeAll(int fd, const std::string& text, bool terminal) {
    size_t done = 0;
    while (done < text.size()) {
        // A background write to the terminal (stty tostop) stops velotap, as it would any
        // program: SIGTTOU is taken for that write alone. Once velotap is about to stop, another
        // try would only raise it again.
        const bool refused = terminal && terminalRefuses(fd);
        if (refused && (suspendAsked() || stopAsked())) {
            pauseMicroseconds(5000);
            continue;
        }
        if (refused)
            takeTerminalOutputStop(true);
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        const int error = errno;
        if (refused)
            takeTerminalOutputStop(false);
        if (written > 0) {
            done += static_cast<size_t>(written);
        } else if (written < 0 && error == EAGAIN) {
            // A descriptor another program left non-blocking: wait until it takes more.
            pollfd ready = {fd, POLLOUT, 0};
            poll(&ready, 1, 100);
        } else if (written == 0) {
            return EIO;
        } else if (error != EINTR) {
            return error;
        }
    }
    return 0;
}

void queueText(int stream, const std::string& text);

// One line on standard error when standard output fails, but for a closed pipe: its reader
// (head, say) has taken all it wanted.
void sayOutputFailed(int error) {
    if (error != EPIPE)
        queueText(1, "velotap: standard output failed (" + std::generic_category().message(error) +
                         "): the rest of its lines are dropped\n");
}

void writerThread(Queue* queue) {
    std::unique_lock<std::mutex> lock(queue->lock);
    for (;;) {
        queue->hasText.wait(lock, [queue] { return !queue->batches.empty(); });
        Batch batch = std::move(queue->batches.front());
        queue->batches.pop_front();
        queue->writing = true;
        lock.unlock();
        const int error = writeAll(kFds[batch.stream], batch.text, gTerminal[batch.stream]);
        lock.lock();
        queue->waiting[batch.stream] -= batch.text.size();
        const bool failsNow = error != 0 && !queue->failed[batch.stream];
        queue->failed[batch.stream] = queue->failed[batch.stream] || error != 0;
        queue->writing = false;
        if (failsNow && batch.stream == 0) {
            // Standard error may have this queue too.
            lock.unlock();
            sayOutputFailed(error);
            lock.lock();
        }
        if (queue->batches.empty() && gWakeWhenWritten)
            wakeSleeper();
    }
}

// Hands text (whole lines, but for an explicit flush) of stream to its writer thread.
void queueText(int stream, const std::string& text) {
    Queue& queue = *gQueues[stream];
    const std::lock_guard<std::mutex> lock(queue.lock);
    if (queue.failed[stream])
        return;
    if (queue.waiting[stream] + text.size() > kMostWaiting) {
        queue.dropped[stream] += std::max<long>(1, std::count(text.begin(), text.end(), '\n'));
        return;
    }
    queue.waiting[stream] += text.size();
    std::deque<Batch>& batches = queue.batches;
    if (!batches.empty() && batches.back().stream == stream &&
        batches.back().text.size() < kLongestBatch)
        batches.back().text += text;
    else
        batches.push_back({stream, text});
    queue.hasText.notify_one();
}

bool pending(Queue* queue) {
    const std::lock_guard<std::mutex> lock(queue->lock);
    return !queue->batches.empty() || queue->writing;
}

// True when standard output and error lead to one place: the same pipe, file or terminal.
bool onePlace() {
    struct stat out, err;
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
           out.st_dev == err.st_dev && out.st_ino == err.st_ino;
}

// Text for one standard descriptor, taken line by line from its stream.
class Outlet : public std::streambuf {
  public:
    explicit Outlet(int stream) : stream_(stream) {}

  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            line_ += traits_type::to_char_type(c);
        if (traits_type::eq_int_type(c, traits_type::to_int_type('\n')))
            take(line_.size());
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
    // Moves the first count bytes of line_ out: to its writer thread once the song plays, else
    // straight to the descriptor.
    void take(size_t count) {
        if (count == 0)
            return;
        const std::string text = line_.substr(0, count);
        line_.erase(0, count);
        if (gQueued)
            queueText(stream_, text);
        else
            writeAll(kFds[stream_], text, gTerminal[stream_]);
    }

    const int stream_;
    std::string line_; // the line being printed
};

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
    // Never deleted: the streams are flushed through them at exit, after static objects are gone.
    std::cout.rdbuf(new Outlet(0));
    std::cerr.rdbuf(new Outlet(1));
    // Whole lines, as on standard output: a line is never cut by another program's.
    std::cerr.unsetf(std::ios::unitbuf);
    for (int stream = 0; stream < 2; ++stream)
        gTerminal[stream] = isatty(kFds[stream]) == 1;
}

void queueStandardOutputs() {
    std::cout.flush();
    std::cerr.flush();
    gQueues[0] = new Queue;
    gQueues[1] = onePlace() ? gQueues[0] : new Queue;
    bool noWriter[2] = {};
    std::string why;
    for (int stream = 0; stream < 2; ++stream) {
        Queue* queue = gQueues[stream];
        if (stream == 1 && queue == gQueues[0]) {
            noWriter[1] = noWriter[0];
            break;
        }
        try {
            // Born holding the suspend signals: while playing, velotap's own thread alone takes
            // them. Never joined: at exit, whatever a writer still holds for a reader that does
            // not read is dropped with the process.
            const SuspendSignalsHeld held;
            std::thread(writerThread, queue).detach();
        } catch (const std::system_error& error) {
            noWriter[stream] = true;
            why = error.code().message();
            queue->failed[0] = queue->failed[1] = true;
        }
    }
    // Written directly: the song has not started.
    if (noWriter[0] && noWriter[1])
        std::cerr << "velotap: no thread to write standard output and error (" << why
                  << "): their lines are dropped\n";
    else if (noWriter[0] || noWriter[1])
        std::cerr << "velotap: no thread to write " << kNames[noWriter[1]] << " (" << why
                  << "): its lines are dropped\n";
    gQueued = true;
}

bool outputPending() {
    return gQueued && (pending(gQueues[0]) || pending(gQueues[1]));
}

bool errorPending() {
    return gQueued && gQueues[1] != gQueues[0] && pending(gQueues[1]);
}

void wakeWhenWritten() {
    gWakeWhenWritten = true;
}

void reportDroppedLines() {
    if (!gQueued)
        return;
    for (int stream = 0; stream < 2; ++stream) {
        long dropped;
        {
            const std::lock_guard<std::mutex> lock(gQueues[stream]->lock);
            dropped = gQueues[stream]->dropped[stream];
        }
        if (dropped > 0)
            std::cerr << "velotap: " << dropped << " lines of " << kNames[stream]
                      << " were dropped: they were not read in time\n";
    }
}
