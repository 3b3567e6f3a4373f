// Noticing that the JACK server went away. RtMidi says nothing of it: its output goes on taking
// messages that nobody will read. libjack says it, in an error message of its thread that listens
// to the server, at the moment it gives the client up itself. Its error messages come here to be
// looked at, and are shown as libjack shows them.
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "app/send.h"
#include "app/settings.h"
#include "app/signals.h"

#ifdef VELOTAP_HAVE_JACK
#include <jack/jack.h>
#endif

static std::atomic<bool> gServerGone{false};

#ifdef VELOTAP_HAVE_JACK
// On whichever thread libjack met the error. JACK 2 says this when the server's end of the
// socket it notifies the client on closes (the server ended or was killed): libjack then gives
// the client up, and nothing sent can reach a port any more.
static void onJackError(const char* text) {
    if (std::strstr(text, "JackSocketClientChannel read fail") != nullptr) {
        // The song's end first: whoever sees the server gone sees that too.
        gIsDone = true;
        gServerGone = true;
        wakeSleeper();
    }
    // Straight to the descriptor, as libjack prints: std::cerr is the player's thread's alone.
    char newline[] = "\n";
    iovec line[2] = {{const_cast<char*>(text), std::strlen(text)}, {newline, 1}};
    ssize_t ignored = writev(STDERR_FILENO, line, 2);
    (void)ignored;
}
#endif

void watchJackServer() {
#ifdef VELOTAP_HAVE_JACK
    jack_set_error_function(onJackError);
#endif
}

bool outputLost() {
    return gServerGone;
}
