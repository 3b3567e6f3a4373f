// Standard output and error: direct until the song plays, then a queue and a writer thread.
#include "app/streams.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
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

// The queue between the player and the writer thread. The lock is held only to move a batch
// in or out, never across a write. Never destroyed: the writer thread may still wait on it when
// the process exits.
struct Queue {
    std::mutex lock;
    std::condition_variable hasText;
    std::deque<Batch> batches;
    size_t waiting[2] = {};
    long dropped[2] = {};
    bool failed[2] = {};
    bool writing = false;
};
Queue& gQueue = *new Queue;
std::atomic<bool> gQueued{false};
std::atomic<bool> gWakeWhenWritten{false};

const int kFds[2] = {STDOUT_FILENO, STDERR_FILENO};
const char* const kNames[2] = {"standard output", "standard error"};

// Writes all of text to fd as any program would, blocking. Returns false when the descriptor
// failed (a closed pipe, a full disk): the rest of its text is dropped, the song goes on.
bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        // Nothing is written while a Ctrl-Z waits: a background write to the terminal would
        // only raise SIGTTOU again. The write goes on, not twice, once the player continues.
        while (suspendAsked())
            pauseMicroseconds(5000);
        // On the writer thread, which otherwise leaves Ctrl-Z to the player's thread.
        const bool writer = gQueued;
        if (writer)
            takeTerminalOutputStop(true);
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (writer)
            takeTerminalOutputStop(false);
        if (written > 0) {
            done += static_cast<size_t>(written);
        } else if (written < 0 && errno == EAGAIN) {
            // A descriptor another program left non-blocking: wait until it takes more.
            pollfd ready = {fd, POLLOUT, 0};
            poll(&ready, 1, 100);
        } else if (written == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

void writerThread() {
    holdTerminalSignals();
    std::unique_lock<std::mutex> lock(gQueue.lock);
    for (;;) {
        gQueue.hasText.wait(lock, [] { return !gQueue.batches.empty(); });
        Batch batch = std::move(gQueue.batches.front());
        gQueue.batches.pop_front();
        gQueue.writing = true;
        lock.unlock();
        const bool written = writeAll(kFds[batch.stream], batch.text);
        lock.lock();
        gQueue.waiting[batch.stream] -= batch.text.size();
        gQueue.failed[batch.stream] = gQueue.failed[batch.stream] || !written;
        gQueue.writing = false;
        if (gQueue.batches.empty() && gWakeWhenWritten)
            wakeSleeper();
    }
}

// Hands text (whole lines, but for an explicit flush) of stream to the writer thread.
void queueText(int stream, const std::string& text) {
    const std::lock_guard<std::mutex> lock(gQueue.lock);
    if (gQueue.failed[stream])
        return;
    if (gQueue.waiting[stream] + text.size() > kMostWaiting) {
        gQueue.dropped[stream] += std::max<long>(1, std::count(text.begin(), text.end(), '\n'));
        return;
    }
    gQueue.waiting[stream] += text.size();
    std::deque<Batch>& batches = gQueue.batches;
    if (!batches.empty() && batches.back().stream == stream &&
        batches.back().text.size() < kLongestBatch)
        batches.back().text += text;
    else
        batches.push_back({stream, text});
    gQueue.hasText.notify_one();
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
    // Moves the first count bytes of line_ out: to the writer thread once the song plays, else
    // straight to the descriptor.
    void take(size_t count) {
        if (count == 0)
            return;
        const std::string text = line_.substr(0, count);
        line_.erase(0, count);
        if (gQueued)
            queueText(stream_, text);
        else
            writeAll(kFds[stream_], text);
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
}

void queueStandardOutputs() {
    std::cout.flush();
    std::cerr.flush();
    gQueued = true;
    // The thread is never joined: at exit, whatever it still holds for a reader that does not
    // read is dropped with the process.
    std::thread(writerThread).detach();
}

bool outputPending() {
    const std::lock_guard<std::mutex> lock(gQueue.lock);
    return !gQueue.batches.empty() || gQueue.writing;
}

void wakeWhenWritten() {
    gWakeWhenWritten = true;
}

void reportDroppedLines() {
    for (int stream = 0; stream < 2; ++stream)
        if (gQueue.dropped[stream] > 0)
            std::cerr << "velotap: " << gQueue.dropped[stream] << " lines of " << kNames[stream]
                      << " were dropped: they were not read in time\n";
}
