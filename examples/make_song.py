#!/usr/bin/python3
"""Writes ode_to_joy.mid: the theme of Beethoven's Ode to Joy (public domain), arranged for
velotap's demo. About 18 seconds; format 1 with a conductor track and three instrument tracks.

Usage: examples/make_song.py [OUTFILE]   (default: ode_to_joy.mid beside this script)
Needs Debian's python3-mido, hence /usr/bin/python3.
"""
import os
import sys

import mido

TPB = 480  # ticks per beat (quarter note)

# Melody, channel 1: (note, beats). Bars 1-4 and the closing bars 5-8 of the theme.
C5, D5, E5, F5, G5 = 72, 74, 76, 77, 79
MELODY = [
    (E5, 1), (E5, 1), (F5, 1), (G5, 1),
    (G5, 1), (F5, 1), (E5, 1), (D5, 1),
    (C5, 1), (C5, 1), (D5, 1), (E5, 1),
    (E5, 1.5), (D5, 0.5), (D5, 2),
    (E5, 1), (E5, 1), (F5, 1), (G5, 1),
    (G5, 1), (F5, 1), (E5, 1), (D5, 1),
    (C5, 1), (C5, 1), (D5, 1), (E5, 1),
    (D5, 1.5), (C5, 0.5), (C5, 2),
]

# One chord per half bar, C major or G major; the bass plays the root when the chord changes
# and the fifth below when it holds.
C_CHORD = (60, 64, 67)
G_CHORD = (59, 62, 67)
C, G = C_CHORD, G_CHORD
HARMONY = [C, C, G, G, C, C, C, G,
           C, C, G, G, C, C, G, C]
BASS = {C: (48, 43), G: (43, 38)}  # (root, fifth below)

LEAD_IN = 2  # two silent beats, so a listener can connect before the first note


def tempo_track():
    track = mido.MidiTrack()
    track.append(mido.MetaMessage('track_name', name='Ode to Joy (velotap example)'))
    track.append(mido.MetaMessage('copyright', text='Melody by L. van Beethoven, public domain'))
    track.append(mido.MetaMessage('time_signature', numerator=4, denominator=4))
    track.append(mido.MetaMessage('key_signature', key='C'))
    track.append(mido.MetaMessage('set_tempo', tempo=mido.bpm2tempo(120)))
    # (beat, kind, value), beats counted from the start of the file.
    changes = [
        (LEAD_IN, 'marker', 'theme'),
        (LEAD_IN + 16, 'marker', 'closing phrase'),
        (LEAD_IN + 16, 'set_tempo', 132),
        (LEAD_IN + 28, 'set_tempo', 100),  # ritardando into the last bar
        (LEAD_IN + 30, 'set_tempo', 72),
    ]
    now = 0
    for beat, kind, value in changes:
        tick = int(beat * TPB)
        if kind == 'marker':
            msg = mido.MetaMessage('marker', text=value, time=tick - now)
        else:
            msg = mido.MetaMessage('set_tempo', tempo=mido.bpm2tempo(value), time=tick - now)
        track.append(msg)
        now = tick
    return track


def timed(events, name):
    """A track from (beat, order, message) events, sorted; the time field becomes a delta."""
    track = mido.MidiTrack()
    track.append(mido.MetaMessage('track_name', name=name))
    now = 0
    for beat, _, msg in sorted(events, key=lambda e: (e[0], e[1])):
        tick = int(round(beat * TPB))
        track.append(msg.copy(time=tick - now))
        now = tick
    return track


def melody_track():
    ch = 0  # channel 1
    events = [(0, 0, mido.Message('program_change', channel=ch, program=0))]  # piano
    beat = LEAD_IN
    for note, length in MELODY:
        velocity = 100 if (beat - LEAD_IN) % 4 == 0 else 84
        events.append((beat, 2, mido.Message('note_on', channel=ch, note=note, velocity=velocity)))
        events.append((beat + length * 0.95, 1, mido.Message('note_off', channel=ch, note=note)))
        beat += length
    # Sustain pedal: down just after each bar line, up at the next one (legato pedalling).
    for bar in range(8):
        start = LEAD_IN + bar * 4
        events.append((start, 0, mido.Message('control_change', channel=ch, control=64, value=0)))
        events.append((start + 0.125, 3,
                       mido.Message('control_change', channel=ch, control=64, value=127)))
    events.append((beat, 0, mido.Message('control_change', channel=ch, control=64, value=0)))
    return timed(events, 'Melody')


def bass_track():
    ch = 1  # channel 2
    events = [(0, 0, mido.Message('program_change', channel=ch, program=32))]  # acoustic bass
    for half, chord in enumerate(HARMONY):
        beat = LEAD_IN + half * 2
        changed = half == 0 or HARMONY[half - 1] != chord
        note = BASS[chord][0 if changed else 1]
        if half == len(HARMONY) - 1:
            note = 36  # low C to end
        events.append((beat, 2, mido.Message('note_on', channel=ch, note=note, velocity=90)))
        events.append((beat + 1.9, 1, mido.Message('note_off', channel=ch, note=note)))
    return timed(events, 'Bass')


def chord_track():
    ch = 2  # channel 3
    events = [(0, 0, mido.Message('program_change', channel=ch, program=48))]  # strings
    for half, chord in enumerate(HARMONY):
        beat = LEAD_IN + half * 2
        for note in chord:
            events.append((beat, 2, mido.Message('note_on', channel=ch, note=note, velocity=56)))
            events.append((beat + 1.9, 1, mido.Message('note_off', channel=ch, note=note)))
    return timed(events, 'Chords')


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, 'ode_to_joy.mid')
    song = mido.MidiFile(type=1, ticks_per_beat=TPB)
    song.tracks += [tempo_track(), melody_track(), bass_track(), chord_track()]
    song.save(out)
    print('%s: %.1f s, %d tracks' % (out, song.length, len(song.tracks)))


if __name__ == '__main__':
    main()
