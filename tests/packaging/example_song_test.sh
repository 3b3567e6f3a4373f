#!/usr/bin/env bash
# example_song_test.sh SOURCE_DIR
# examples/ode_to_joy.mid is what examples/make_song.py writes, and it still shows what the demo
# is meant to show: several tracks, track names, a tempo change, the sustain pedal pressed and
# released on channel 1, all in less than 30 seconds.
set -euo pipefail
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

/usr/bin/python3 "$src/examples/make_song.py" "$tmp/song.mid" >/dev/null
cmp "$tmp/song.mid" "$src/examples/ode_to_joy.mid" ||
    { echo "FAIL: examples/ode_to_joy.mid is stale: run examples/make_song.py" >&2; exit 1; }

/usr/bin/python3 - "$src/examples/ode_to_joy.mid" <<'EOF'
import itertools
import sys

import mido

song = mido.MidiFile(sys.argv[1])
problems = []
if song.type != 1 or len(song.tracks) < 3:
    problems.append('not format 1 with several tracks')
if not any(m.type == 'track_name' for t in song.tracks for m in t):
    problems.append('no track name')
tempo_ticks = [tick for t in song.tracks
               for tick, m in zip(itertools.accumulate(m.time for m in t), t)
               if m.type == 'set_tempo']
if not any(tick > 0 for tick in tempo_ticks):
    problems.append('no tempo change after the start')
pedal = {m.value for t in song.tracks for m in t
         if m.type == 'control_change' and m.channel == 0 and m.control == 64}
if not (127 in pedal and 0 in pedal):
    problems.append('sustain pedal not pressed and released on channel 1')
if not 5 < song.length < 30:
    problems.append('length %.1f s' % song.length)
if problems:
    sys.exit('FAIL: ' + '; '.join(problems))
print('example song: %.1f s, %d tracks, tempo changes at ticks %s'
      % (song.length, len(song.tracks), tempo_ticks))
EOF
