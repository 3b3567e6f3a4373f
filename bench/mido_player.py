#!/usr/bin/python3
"""mido_player.py FILE SCALE PORT

Plays FILE with mido's own player (MidiFile.play) to the JACK MIDI input PORT, sending only
note on/off and control change, every time in the file multiplied by SCALE. The comparison
player for bench/timing; it talks to the JACK server named by JACK_DEFAULT_SERVER.
"""
import sys
import time

import mido

FORWARDED = {"note_on", "note_off", "control_change"}


def main():
    path, scale, port_name = sys.argv[1], float(sys.argv[2]), sys.argv[3]
    mido.set_backend("mido.backends.rtmidi/UNIX_JACK")
    song = mido.MidiFile(path)
    # Every duration is ticks * tempo / ticks_per_beat: dividing ticks_per_beat by the scale
    # multiplies them all by it, as velotap's -t does through the tempo.
    song.ticks_per_beat = song.ticks_per_beat / scale
    with mido.open_output(port_name) as port:
        for msg in song.play():
            if msg.type in FORWARDED:
                port.send(msg)
        # The JACK output hands messages over on the next cycle: let the last ones leave.
        time.sleep(0.25)


if __name__ == "__main__":
    main()
