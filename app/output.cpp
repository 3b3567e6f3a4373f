// The MIDI output: finding a MIDI system that works, listing and opening ports, clear-notes,
// and the shutdown that silences what the song left sounding.
#include "app/output.h"

#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "app/clock.h"
#include "app/requests.h"
#include "app/send.h"
#include "app/settings.h"
#include "app/signals.h"
#include "app/silence.h"

// The three bytes clear-notes writes each message into: storage is taken once.
static std::vector<unsigned char> gMessage(3, 0);
static bool gNoJackServer = false;
// The JACK server was there but refused to open velotap's client.
static bool gJackRefused = false;
static const std::string kClientName = "RtMidi Output Client";
static const std::string kVirtualPortName = "Vorn Filter Output";

static void onLibraryError(RtMidiError::Type type, const std::string& text, void*) {
    // RtMidi's JACK output opens without a server and says so on every call that needs one.
    if (text.find("JACK server not running") != std::string::npos)
        gNoJackServer = true;
    takeLibraryError(type, text);
}

// An output object on api whose errors come to onLibraryError, or null.
static RtMidiOut* tryOutput(RtMidi::Api api) {
    try {
        RtMidiOut* out = new RtMidiOut(api, kClientName);
        out->setErrorCallback(onLibraryError);
        return out;
    } catch (RtMidiError&) {
        return nullptr;
    }
}

// True when libjack said, in what the captured standard error (a file) holds from offset from
// on, that a running server refused the client. With no server at all it says "jack server is
// not running".
static bool jackRefusedSince(int captured, off_t from) {
    std::cerr.flush();
    std::fflush(stderr);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while (from >= 0 && (n = pread(captured, buffer, sizeof buffer, from)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
        from += n;
    }
    return text.find("Cannot open " + kClientName) != std::string::npos;
}

// Connects the JACK output to its server; true when that worked. A server that refuses the
// client is asked again for up to a second: libjack's clients of one name, on any server of the
// machine, share a socket path while they open, so two opening at once can collide. The output
// of each retry replaces the last one's in the captured standard error (-1: not captured, so
// nothing is known of a refusal and the first answer stands).
static bool connectJack(RtMidiOut* out, int captured) {
    const int64_t giveUp = nowMicroseconds() + 1000000;
    for (int64_t pause = 10000;; pause = std::min<int64_t>(2 * pause, 200000)) {
        const off_t from = captured >= 0 ? lseek(captured, 0, SEEK_END) : -1;
        gNoJackServer = false;
        out->getPortCount();
        if (!gNoJackServer)
            return true;
        gJackRefused = jackRefusedSince(captured, from);
        if (!gJackRefused || nowMicroseconds() + pause > giveUp)
            return false;
        pauseFor(pause);
        if (ftruncate(captured, from) == 0)
            lseek(captured, from, SEEK_SET);
    }
}

// An output object whose MIDI system answers, or null. captured: the file standard error is
// written to meanwhile, or -1.
static RtMidiOut* workingOutput(int captured) {
    RtMidiOut* out = tryOutput(RtMidi::UNSPECIFIED);
    // The library's own choice stops at its first system (the ALSA sequencer) when that is
    // missing, even where JACK works.
    if (out == nullptr)
        out = tryOutput(RtMidi::UNIX_JACK);
    if (out == nullptr || out->getCurrentApi() != RtMidi::UNIX_JACK)
        return out;
    // JACK's output opens even with no server running. The library also ends on JACK when
    // the sequencer works but offers no port: the sequencer is then the working system.
    if (connectJack(out, captured))
        return out;
    delete out;
    return tryOutput(RtMidi::LINUX_ALSA);
}

bool createOutput() {
    watchJackServer();
    // What the libraries print while they look for a working MIDI system describes fallbacks;
    // it is shown only when nothing works.
    std::fflush(stderr);
    FILE* kept = std::tmpfile();
    const int savedErr = dup(STDERR_FILENO);
    if (kept != nullptr)
        dup2(fileno(kept), STDERR_FILENO);
    gMidiOut = workingOutput(kept != nullptr ? fileno(kept) : -1);
    std::cerr.flush();
    std::fflush(stderr);
    dup2(savedErr, STDERR_FILENO);
    close(savedErr);
    if (gMidiOut == nullptr) {
        if (gJackRefused)
            std::cerr << "velotap: the JACK server is running but refused to open velotap's "
                         "client (asked for 1 s)\n";
        else
            std::cerr << "velotap: no MIDI system: no ALSA sequencer (/dev/snd/seq) and no JACK "
                         "server running\n";
        if (kept != nullptr) {
            std::rewind(kept);
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, kept)) > 0)
                std::cerr.write(buffer, static_cast<std::streamsize>(n));
        }
    }
    if (kept != nullptr)
        std::fclose(kept);
    return gMidiOut != nullptr;
}

void listPorts() {
    const unsigned int count = gMidiOut->getPortCount();
    std::cout << "\nThere are " << count << " MIDI output ports available.\n";
    for (unsigned int k = 1; k <= count; ++k) {
        const std::string name = gMidiOut->getPortName(k - 1);
        std::cout << "  Output Port #" << k << ": " << name << "\n" << std::flush;
    }
    std::cout << "\n" << std::flush;
}

// Names of the ports, other programs' outputs included, that end in the virtual port's name.
static std::vector<std::string> virtualPortNames(RtMidiIn* lister) {
    std::vector<std::string> names;
    if (lister == nullptr)
        return names;
    const unsigned int count = lister->getPortCount();
    for (unsigned int k = 0; k < count; ++k) {
        std::string name = lister->getPortName(k);
        // The sequencer appends " client:port" to its names.
        const size_t at = name.find(":" + kVirtualPortName);
        if (at != std::string::npos)
            names.push_back(name.substr(0, at + 1 + kVirtualPortName.size()));
    }
    return names;
}

static RtMidiIn* portLister() {
    try {
        RtMidiIn* in = new RtMidiIn(gMidiOut->getCurrentApi(), "velotap port list");
        in->setErrorCallback(onLibraryError);
        return in;
    } catch (RtMidiError&) {
        return nullptr;
    }
}

// Creates the virtual port; on a terminal, says under which name it appeared, which is the
// one thing a newcomer needs to connect a synthesizer.
static void openVirtualPort() {
    const bool announce = isatty(STDERR_FILENO);
    const std::unique_ptr<RtMidiIn> lister(announce ? portLister() : nullptr);
    const std::vector<std::string> before = virtualPortNames(lister.get());
    gMidiOut->openVirtualPort(kVirtualPortName);
    checkLibraryError();
    if (!announce)
        return;
    std::string ours = kClientName + ":" + kVirtualPortName;
    for (const std::string& name : virtualPortNames(lister.get()))
        if (std::find(before.begin(), before.end(), name) == before.end())
            ours = name;
    std::cerr << "velotap: playing to \"" << ours << "\"; connect a synthesizer to it\n";
}

bool openOutput(int32_t portIndex) {
    if (portIndex < 0) {
        openVirtualPort();
        return true;
    }
    const unsigned int count = gMidiOut->getPortCount();
    if (static_cast<unsigned int>(portIndex) >= count) {
        std::cout << "Invalid output port specifier!\n" << std::flush;
        return false;
    }
    const std::string name = gMidiOut->getPortName(portIndex);
    checkLibraryError();
    std::cout << "  Output Port #" << portIndex + 1 << ": " << name << "\n" << std::flush;
    gMidiOut->openPort(portIndex, "RtMidi Output");
    checkLibraryError();
    // A new JACK connection carries data only from the server's next cycle on: messages sent
    // at once would be lost, and with them the first notes of the song.
    pauseFor(100000);
    return true;
}

void clearAllNotes() {
    for (int note = 0; note < 128; ++note)
        for (int channel = 0; channel < 16; ++channel)
            sendMessage3(gMessage, 0x90 + channel, note, 0x00);
    // This run knows nothing of the pedals earlier runs left down on the other channels.
    releasePedals(true);
    // A wait that stops only when the JACK server goes away: there are no stop requests yet.
    int64_t end = nowMicroseconds() + 1000000;
    waitUntil(&end, true);
}

int shutdownOutput() {
    // A Ctrl-Z that comes meanwhile stops the player once the sweep has left: neither the
    // sweep nor the pause after it looks at the requests.
    setPlaying(false);
    if (!outputLost()) {
        silenceOutput(false);
        pauseMicroseconds(200000);
    }
    // Once the JACK server went away nothing reaches the port, and closing it would only wait a
    // second for a cycle that never comes: the output is left to the exit.
    if (gMidiOut != nullptr && !outputLost()) {
        // RtMidi's JACK output frees its buffer before it leaves the server, while the server
        // may still be reading it: close the port first and let a cycle pass.
        watched([] { gMidiOut->closePort(); });
        pauseFor(50000);
        watched([] { delete gMidiOut; });
        gMidiOut = nullptr;
    }
    if (outputLost()) {
        std::cerr << "velotap: the JACK server went away\n";
        return 1;
    }
    reportLostMessages();
    return 0;
}
