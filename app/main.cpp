// velotap: plays a Standard MIDI File in real time to one MIDI output, forwarding only
// Note Off, Note On and Control Change.
#include <rtmidi/RtMidi.h>
#include <signal.h>

#include <algorithm>

#include "app/options.h"
#include "app/output.h"
#include "app/requests.h"
#include "app/settings.h"
#include "app/signals.h"
#include "app/streams.h"
#include "playback/scheduler.h"
#include "smf/chunk_reader.h"

// Opens the output and does what the run options ask of it. The caller shuts down afterwards.
static void run(const RunOptions& opts) {
    if (opts.listPorts) {
        listPorts();
        return;
    }
    if (!openOutput(opts.portIndex))
        return;
    if (opts.clearNotes) {
        clearAllNotes();
        return;
    }
    // Opening a FIFO waits for its writer: until then Ctrl-C ends velotap and Ctrl-Z stops it,
    // as by default.
    const int fd = openMidiFile(opts.fileName);
    if (fd < 0)
        return;
    // From here on signals are the player's requests, and nothing waits for standard output
    // and error: writer threads write them.
    installInterruptHandler();
    queueStandardOutputs();
    MIDITrack* head = loadMidiFile(fd);
    setPlaying(true);
    playTracks(head);
    deleteTracks(head);
}

int main(int argc, char** argv) {
    keepStandardDescriptors();
    openWakeUp();
    // A closed standard output (velotap -v song.mid | head) must not end the player with
    // notes sounding: failed writes are ignored and playing goes on.
    signal(SIGPIPE, SIG_IGN);
    // Before anything starts a thread: until the song Ctrl-Z stops velotap and fg continues
    // it, as any program, and while it plays velotap's own thread alone takes them.
    holdSuspendSignals();
    installStandardOutputs();
    const RunOptions opts = scanOptions(argc, argv);
    std::fill(std::begin(gSoundingFlags), std::end(gSoundingFlags), 0);
    if (!createOutput())
        return 1;
    try {
        run(opts);
    } catch (RtMidiError&) {
        // Its text was shown when the library met it.
    }
    const int status = shutdownOutput();
    reportDroppedLines();
    // What velotap printed is all there for the reader, unless a stop signal came.
    waitForReaders();
    return status;
}
