// jack_capture CLIENT_NAME OUTFILE [SOURCE_PORT]
//
// Records every MIDI event arriving on CLIENT_NAME:in with a timestamp in microseconds of the
// system clock (Unix epoch). Prints "ready" once listening; on SIGTERM or SIGINT writes one line
// per event to OUTFILE: "<usec> <hex bytes>".
#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

struct Event {
    jack_time_t usec;
    uint32_t offset; // into the byte arena
    uint32_t size;
};

// Everything the process callback touches is allocated up front: it must not allocate or lock.
constexpr size_t kMaxEvents = size_t{1} << 20;
constexpr size_t kArenaBytes = size_t{1} << 24;
std::vector<Event> events(kMaxEvents);
std::vector<uint8_t> arena(kArenaBytes);
std::atomic<size_t> eventCount{0};
std::atomic<size_t> dropped{0};
std::atomic<bool> serverGone{false};
std::atomic<uint64_t> cycles{0};

jack_client_t* client = nullptr;
jack_port_t* inPort = nullptr;
size_t arenaUsed = 0; // only touched by the process thread until it is deactivated
int64_t clockOffset = 0;

// JACK's clock is CLOCK_MONOTONIC_RAW; one fixed offset puts it on the system clock, so times
// compare with std::chrono::system_clock while intervals stay JACK's.
int64_t systemClockOffset() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000 - int64_t(jack_get_time());
}

int process(jack_nframes_t nframes, void*) {
    jack_nframes_t cycleFrames;
    jack_time_t cycleStart, nextStart;
    float periodUsecs;
    // Cycle start plus frame offset in wall time; the dummy backend's frame clock can't be trusted.
    if (jack_get_cycle_times(client, &cycleFrames, &cycleStart, &nextStart, &periodUsecs) != 0) {
        cycleStart = jack_get_time();
        periodUsecs = 0;
    }
    void* buf = jack_port_get_buffer(inPort, nframes);
    uint32_t n = jack_midi_get_event_count(buf);
    size_t count = eventCount.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, buf, i) != 0)
            continue;
        if (count == kMaxEvents || arenaUsed + ev.size > kArenaBytes) {
            dropped.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        Event& e = events[count++];
        e.usec = cycleStart + static_cast<jack_time_t>(ev.time * periodUsecs / nframes);
        e.offset = static_cast<uint32_t>(arenaUsed);
        e.size = static_cast<uint32_t>(ev.size);
        std::memcpy(&arena[arenaUsed], ev.buffer, ev.size);
        arenaUsed += ev.size;
    }
    eventCount.store(count, std::memory_order_release);
    cycles.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// Called on a JACK thread: only note it, main() still writes what was captured.
void onShutdown(void*) {
    serverGone = true;
}

bool writeEvents(const char* path) {
    FILE* f = std::fopen(path, "w");
    if (!f)
        return false;
    size_t count = eventCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        std::fprintf(f, "%lld", static_cast<long long>(int64_t(events[i].usec) + clockOffset));
        for (uint32_t b = 0; b < events[i].size; ++b)
            std::fprintf(f, " %02x", arena[events[i].offset + b]);
        std::fputc('\n', f);
    }
    return std::fclose(f) == 0;
}

// Sleeps up to nsec; false once a stop signal arrived or the server is gone.
bool sleepUnlessStopped(const sigset_t& stopSignals, long nsec) {
    const timespec t{0, nsec};
    return !serverGone && sigtimedwait(&stopSignals, nullptr, &t) < 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: jack_capture CLIENT_NAME OUTFILE [SOURCE_PORT]\n");
        return 2;
    }
    // Blocked before JACK starts its threads, so only sigwait/sigtimedwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    jack_status_t status;
    client =
        jack_client_open(argv[1], jack_options_t(JackNoStartServer | JackUseExactName), &status);
    if (!client) {
        std::fprintf(stderr, "jack_capture: cannot open client '%s' (status 0x%x)\n", argv[1],
                     unsigned(status));
        return 1;
    }
    clockOffset = systemClockOffset();
    jack_on_shutdown(client, onShutdown, nullptr);
    inPort = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!inPort || jack_set_process_callback(client, process, nullptr) != 0 ||
        jack_activate(client) != 0) {
        std::fprintf(stderr, "jack_capture: cannot set up port\n");
        jack_client_close(client);
        return 1;
    }

    bool stopped = false;
    // The source may be registered later, so retry until it connects or we are stopped.
    while (argc == 4 && !stopped) {
        int rc = jack_connect(client, argv[3], jack_port_name(inPort));
        if (rc == 0 || rc == EEXIST)
            break;
        stopped = !sleepUnlessStopped(stopSignals, 10 * 1000 * 1000);
    }
    // A new connection takes effect at a cycle boundary: wait two cycles so "ready" means live.
    for (uint64_t target = cycles + 2; !stopped && cycles < target;)
        stopped = !sleepUnlessStopped(stopSignals, 1000 * 1000);
    if (!stopped) {
        std::printf("ready\n");
        std::fflush(stdout);
        int sig;
        sigwait(&stopSignals, &sig);
    }

    if (!serverGone)
        jack_deactivate(client);
    jack_client_close(client);
    if (serverGone)
        std::fprintf(stderr, "jack_capture: JACK server went away\n");
    if (dropped > 0)
        std::fprintf(stderr, "jack_capture: dropped %zu events (storage full)\n", dropped.load());
    if (!writeEvents(argv[2])) {
        std::fprintf(stderr, "jack_capture: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
