#include "e2e.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// One dir per test process, removed on normal exit.
struct TempDir {
    std::string path;
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/velotap-e2e.XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

Clock::time_point deadlineIn(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Children talk to one server only and never start one of their own by accident.
std::vector<std::string> jackEnv(const JackServer& server) {
    return {server.envVar(), "JACK_NO_START_SERVER=1"};
}

} // namespace

std::string tempPath(const std::string& suffix) {
    static TempDir dir;
    static std::atomic<int> counter{0};
    return dir.path + "/" + std::to_string(counter++) + suffix;
}

std::string writeTempFile(const std::vector<uint8_t>& bytes, const std::string& suffix) {
    std::string path = tempPath(suffix);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        s += (s.empty() ? "" : " ") + std::string(buf);
    }
    return s;
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv)
    : outPath_(tempPath(".out")), errPath_(tempPath(".err")) {
    // Build everything before fork: the child may only make async-signal-safe calls.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string var = *e;
        std::string key = var.substr(0, var.find('=') + 1);
        bool overridden = false;
        for (const auto& x : extraEnv)
            overridden = overridden || x.compare(0, key.size(), key) == 0;
        if (!overridden)
            env.push_back(var);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);

    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // End with the test process, so a crashed test leaves nothing running; SIGTERM lets
        // jackd clean up its shared memory, which a SIGKILL leaks.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execvpe(args[0], args.data(), envp.data());
        const char msg[] = "exec failed\n";
        [[maybe_unused]] ssize_t n = write(2, msg, sizeof msg - 1);
        _exit(127);
    }
    close(in);
    close(out);
    close(err);
    if (pid_ < 0) {
        ADD_FAILURE() << "fork failed: " << std::strerror(errno);
        reaped_ = true;
    }
}

Process::~Process() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        reap(true);
    }
    std::remove(outPath_.c_str());
    std::remove(errPath_.c_str());
}

bool Process::reap(bool block) {
    while (!reaped_) {
        pid_t r = waitpid(pid_, &status_, block ? 0 : WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR))
            reaped_ = true;
        else if (r == 0)
            break;
    }
    return reaped_;
}

void Process::signal(int sig) {
    if (!reaped_)
        kill(pid_, sig);
}

bool Process::running() {
    return !reap(false);
}

ProcResult Process::wait(double timeoutSeconds) {
    auto deadline = deadlineIn(timeoutSeconds);
    while (!reap(false)) {
        if (Clock::now() > deadline) {
            kill(pid_, SIGKILL);
            reap(true);
            timedOut_ = true;
            break;
        }
        sleepMs(2);
    }
    ProcResult r;
    r.timedOut = timedOut_;
    if (WIFEXITED(status_))
        r.exitCode = WEXITSTATUS(status_);
    if (WIFSIGNALED(status_))
        r.termSignal = WTERMSIG(status_);
    r.out = readFile(outPath_);
    r.err = readFile(errPath_);
    return r;
}

std::string Process::outSoFar() const {
    return readFile(outPath_);
}

JackServer::JackServer(int rate, int period) : logPath_(tempPath(".jackd.log")) {
    // JACK's registry holds eight servers and frees the entry of a killed one only when a
    // server of the same name starts: names come from a few slots, each held by a lock file.
    for (int slot = 0; lockFd_ < 0; slot = (slot + 1) % 6) {
        const std::string lock = "/tmp/velotap-e2e-jack-" + std::to_string(slot) + ".lock";
        lockFd_ = open(lock.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        if (lockFd_ >= 0 && flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
            name_ = "velotap-e2e-" + std::to_string(slot);
        } else {
            if (lockFd_ >= 0)
                close(lockFd_);
            lockFd_ = -1;
            if (slot == 5)
                sleepMs(50);
        }
    }
    // exec keeps the pid, so our signals reach jackd itself; one log for stdout and stderr.
    std::string cmd = "exec jackd -n " + name_ + " -S --no-realtime -d dummy -r " +
                      std::to_string(rate) + " -p " + std::to_string(period) + " >'" + logPath_ +
                      "' 2>&1";
    proc_ = std::make_unique<Process>(std::vector<std::string>{"sh", "-c", cmd});
    auto deadline = deadlineIn(10);
    while (!ok_ && proc_->running() && Clock::now() < deadline) {
        Process lsp({"jack_lsp"}, jackEnv(*this));
        ok_ = lsp.wait(2).exitCode == 0;
        if (!ok_)
            sleepMs(20);
    }
    if (!ok_)
        ADD_FAILURE() << "jackd " << name_ << " did not start:\n" << readFile(logPath_);
}

JackServer::~JackServer() {
    proc_->signal(SIGTERM);
    // jackd waits a second for each client that died without closing before it exits.
    proc_->wait(10);
    close(lockFd_);
}

Capture::Capture(const JackServer& server, const std::string& clientName,
                 const std::string& sourcePort)
    : outPath_(tempPath(".capture")) {
    std::vector<std::string> argv{E2E_CAPTURE_BIN, clientName, outPath_};
    if (!sourcePort.empty())
        argv.push_back(sourcePort);
    proc_ = std::make_unique<Process>(argv, jackEnv(server));
    auto deadline = deadlineIn(10);
    while (!ok_ && proc_->running() && Clock::now() < deadline) {
        ok_ = proc_->outSoFar() == "ready\n";
        if (!ok_)
            sleepMs(2);
    }
    if (!ok_) {
        proc_->signal(SIGTERM);
        ADD_FAILURE() << "jack_capture " << clientName << " not ready: " << proc_->wait(2).err;
    }
}

Capture::~Capture() {
    proc_.reset();
    std::remove(outPath_.c_str());
}

std::vector<MidiEvent> Capture::stop() {
    std::vector<MidiEvent> events;
    if (!proc_)
        return events;
    proc_->signal(SIGTERM);
    ProcResult r = proc_->wait(10);
    proc_.reset();
    if (r.exitCode != 0 || r.err.find("dropped") != std::string::npos)
        ADD_FAILURE() << "jack_capture failed (exit " << r.exitCode << ", signal " << r.termSignal
                      << "): " << r.err;
    std::ifstream in(outPath_);
    std::string line, tok;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        MidiEvent e{};
        fields >> e.usec;
        while (fields >> tok)
            e.bytes.push_back(uint8_t(std::stoul(tok, nullptr, 16)));
        events.push_back(std::move(e));
    }
    return events;
}

std::vector<std::string> jackPorts(const JackServer& server) {
    Process lsp({"jack_lsp"}, jackEnv(server));
    std::istringstream lines(lsp.wait(5).out);
    std::vector<std::string> ports;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            ports.push_back(line);
    return ports;
}

} // namespace e2e
