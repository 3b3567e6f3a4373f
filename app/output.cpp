#include "app/output.h"

#include <rtmidi/RtMidi.h>
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <iostream>
#include <string>

#include "app/settings.h"

static const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Sleeps the whole time even when a signal arrives: the pauses that let the last messages
// leave must not be cut short by a second Ctrl-C.
static void pauseMicroseconds(long usec) {
    timespec left{usec / 1000000, (usec % 1000000) * 1000};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

bool createOutput() {
    try {
        gMidiOut = new RtMidiOut(RtMidi::UNSPECIFIED, "RtMidi Output Client");
        return true;
    } catch (RtMidiError& firstError) {
        // The library's own choice gives up when its first system (the ALSA sequencer) is
        // missing, even where another one (JACK) works: try each other compiled system in turn.
        std::vector<RtMidi::Api> apis;
        RtMidi::getCompiledApi(apis);
        for (size_t i = 1; i < apis.size(); ++i) {
            try {
                gMidiOut = new RtMidiOut(apis[i], "RtMidi Output Client");
                return true;
            } catch (RtMidiError&) {
            }
        }
        firstError.printMessage();
        return false;
    }
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

bool openOutput(int32_t portIndex) {
    if (portIndex < 0) {
        gMidiOut->openVirtualPort("Vorn Filter Output");
        return true;
    }
    const unsigned int count = gMidiOut->getPortCount();
    if (static_cast<unsigned int>(portIndex) >= count) {
        std::cout << "Invalid output port specifier!\n" << std::flush;
        return false;
    }
    const std::string name = gMidiOut->getPortName(portIndex);
    std::cout << "  Output Port #" << portIndex + 1 << ": " << name << "\n" << std::flush;
    gMidiOut->openPort(portIndex, "RtMidi Output");
    // A new JACK connection carries data only from the server's next cycle on: messages sent
    // at once would be lost, and with them the first notes of the song.
    pauseMicroseconds(100000);
    return true;
}

void sendMessage3(std::vector<unsigned char>& message, unsigned char status, unsigned char data1,
                  unsigned char data2) {
    message[0] = status;
    message[1] = data1;
    message[2] = data2;
    gMidiOut->sendMessage(&message);
}

static void releaseSustain(std::vector<unsigned char>& message) {
    sendMessage3(message, 0xB0, 0x40, 0x00);
    sendMessage3(message, 0xB1, 0x40, 0x00);
}

void clearAllNotes(std::vector<unsigned char>& message) {
    for (int note = 0; note < 128; ++note)
        for (int channel = 0; channel < 16; ++channel)
            sendMessage3(message, 0x90 + channel, note, 0x00);
    releaseSustain(message);
    pauseMicroseconds(1000000);
}

void shutdownOutput(std::vector<unsigned char>& message) {
    if (gMidiOut != nullptr) {
        for (int note = 0; note < 128; ++note) {
            if (gSoundingFlags[note] == 0)
                continue;
            for (int channel = 0; channel < 16; ++channel)
                if (gSoundingFlags[note] & (1u << channel))
                    sendMessage3(message, 0x90 + channel, note, 0x00);
        }
        releaseSustain(message);
    }
    pauseMicroseconds(250000);
    delete gMidiOut;
    gMidiOut = nullptr;
}

static void maskInterrupts(int how) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kInterruptSignals)
        sigaddset(&set, sig);
    pthread_sigmask(how, &set, nullptr);
}

void holdInterrupts() {
    maskInterrupts(SIG_BLOCK);
}

void releaseInterrupts() {
    maskInterrupts(SIG_UNBLOCK);
}

void finish(int) {
    gIsDone = true;
}

void installInterruptHandler() {
    struct sigaction action = {};
    action.sa_handler = finish;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a signal must cut the player's sleep short.
    action.sa_flags = 0;
    for (int sig : kInterruptSignals)
        sigaction(sig, &action, nullptr);
}
