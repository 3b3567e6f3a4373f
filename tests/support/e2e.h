// Helpers for end-to-end tests: child processes, a private JACK server and a MIDI capture client.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

struct ProcResult {
    int exitCode = -1;  // -1 unless the process exited normally
    int termSignal = 0; // set if it was killed by a signal
    bool timedOut = false;
    std::string out, err;
};

// A child process. stdout/stderr go to temp files (no pipe deadlocks), stdin is /dev/null,
// extraEnv ("NAME=value") is added to the inherited environment. The child gets SIGTERM if the
// test process dies.
class Process {
  public:
    Process(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
    ~Process(); // SIGKILLs and reaps a child still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig);
    bool running(); // non-blocking
    // Waits for exit; on timeout SIGKILLs it and sets timedOut. Safe to call again.
    ProcResult wait(double timeoutSeconds = 30);
    std::string outSoFar() const; // stdout written so far, while it runs

  private:
    bool reap(bool block);
    pid_t pid_ = -1;
    bool reaped_ = false;
    bool timedOut_ = false;
    int status_ = 0;
    std::string outPath_, errPath_;
};

// A private JACK server on the dummy backend, its name unique among running instances.
class JackServer {
  public:
    explicit JackServer(int rate = 48000, int period = 256);
    ~JackServer(); // SIGTERM, SIGKILL after 10 s
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    bool ok() const { return ok_; } // started and accepting clients
    const std::string& name() const { return name_; }
    std::string envVar() const { return "JACK_DEFAULT_SERVER=" + name_; }
    std::string log() const { return logPath_; } // path of jackd's stdout+stderr

  private:
    std::string name_, logPath_;
    std::unique_ptr<Process> proc_;
    bool ok_ = false;
    int lockFd_ = -1;
};

struct MidiEvent {
    int64_t usec; // system clock in microseconds, comparable with std::chrono::system_clock
    std::vector<uint8_t> bytes;
};

std::string hex(const std::vector<uint8_t>& bytes); // "90 3c 64"

// Runs jack_capture on the server; the constructor returns once it is listening (and connected
// to sourcePort, if given; that port may appear later).
class Capture {
  public:
    Capture(const JackServer& server, const std::string& clientName,
            const std::string& sourcePort = "");
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    bool ok() const { return ok_; }
    std::vector<MidiEvent> stop(); // SIGTERM, wait, parse the recorded events

  private:
    std::string outPath_;
    std::unique_ptr<Process> proc_;
    bool ok_ = false;
};

// Paths in a temp dir owned by this test process and removed when it exits.
std::string tempPath(const std::string& suffix);
std::string writeTempFile(const std::vector<uint8_t>& bytes, const std::string& suffix = ".mid");

std::vector<std::string> jackPorts(const JackServer& server); // via jack_lsp

} // namespace e2e
