#!/usr/bin/python3
"""A live MIDI monitor: prints each message from one output port as it arrives.

Usage: examples/note_monitor.py [--api jack|alsa] [--ready FILE] [PORT]

Waits for an output port whose name contains PORT (default "Vorn Filter Output", velotap's
virtual port), connects to it and prints one line per message: seconds since the first one,
channel, note name and velocity. Creates FILE once it is listening. Stops on SIGTERM or SIGINT.
Needs Debian's python3-mido and python3-rtmidi, hence /usr/bin/python3.
"""
import argparse
import signal
import sys
import threading
import time

import mido
import rtmidi

NAMES = ['C', 'C#', 'D', 'D#', 'E', 'F', 'F#', 'G', 'G#', 'A', 'A#', 'B']
APIS = {'jack': rtmidi.API_UNIX_JACK, 'alsa': rtmidi.API_LINUX_ALSA}


def note_name(note):
    return '%s%d' % (NAMES[note % 12], note // 12 - 1)  # middle C (60) is C4


def describe(msg):
    if msg.type == 'note_on' and msg.velocity > 0:
        return 'ch%-2d %-4s on   vel %3d' % (msg.channel + 1, note_name(msg.note), msg.velocity)
    if msg.type in ('note_on', 'note_off'):
        return 'ch%-2d %-4s off' % (msg.channel + 1, note_name(msg.note))
    if msg.type == 'control_change':
        text = 'ch%-2d CC %d = %d' % (msg.channel + 1, msg.control, msg.value)
        if msg.control == 64:
            text += '  (sustain pedal %s)' % ('down' if msg.value >= 64 else 'up')
        return text
    return str(msg)


class Printer:
    def __init__(self):
        self.start = None

    def __call__(self, event, _data):
        data, _delta = event
        now = time.monotonic()
        if self.start is None:
            self.start = now
        try:
            msg = mido.Message.from_bytes(data)
        except ValueError:
            msg = None
        text = describe(msg) if msg else ' '.join('%02x' % b for b in data)
        print('%7.2fs  %s' % (now - self.start, text), flush=True)


def listen(midi_in, args, stop):
    midi_in.set_callback(Printer())
    if args.ready:
        open(args.ready, 'w').close()
    # The port exists only while its program runs: look for it until it appears.
    deadline = time.monotonic() + args.timeout
    while not stop.is_set():
        ports = midi_in.get_ports()
        found = [i for i, name in enumerate(ports) if args.port in name]
        if found:
            midi_in.open_port(found[0], 'in')
            print('monitor: listening to %s' % ports[found[0]], flush=True)
            break
        if time.monotonic() > deadline:
            print('monitor: no port named "%s" appeared' % args.port, file=sys.stderr)
            return 1
        stop.wait(0.01)
    while not stop.wait(0.2):
        pass
    return 0


def main():
    parser = argparse.ArgumentParser(description='Print MIDI messages as they arrive.')
    parser.add_argument('port', nargs='?', default='Vorn Filter Output')
    parser.add_argument('--api', choices=sorted(APIS), default='jack')
    parser.add_argument('--ready', help='file to create once listening')
    parser.add_argument('--timeout', type=float, default=30,
                        help='seconds to wait for the port')
    args = parser.parse_args()

    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())

    midi_in = rtmidi.MidiIn(rtapi=APIS[args.api], name='velotap monitor')
    try:
        return listen(midi_in, args, stop)
    finally:
        # Closes the JACK client now: left to the interpreter's exit, it is not closed, and
        # the server then hangs for seconds over a client that vanished.
        midi_in.delete()


if __name__ == '__main__':
    sys.exit(main())
