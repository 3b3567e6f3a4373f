#!/usr/bin/env bash
# packaging.sh BUILD_DIR: the installed layout and manual page, the Debian package, and the demo:
# recorded by FluidSynth where there is no audio output, and on the ALSA sequencer to a
# synthesizer's stand-in and to a sound card; and the README's commands that connect one.
set -euo pipefail
build=$(realpath "$1")
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/usr" >/dev/null
MANWIDTH=80 man --warnings -l "$tmp/usr/share/man/man1/velotap.1" >/dev/null 2>"$tmp/err"
[ ! -s "$tmp/err" ] || fail "manual page warnings: $(cat "$tmp/err")"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp" >/dev/null 2>&1
deb=$(echo "$tmp"/velotap_*_amd64.deb)
dpkg-deb -f "$deb" Depends | grep -q librtmidi || fail "the package does not depend on RtMidi"
[ "$(dpkg-deb -c "$deb" | grep -cE ' \./usr/(bin/velotap|share/man/man1/velotap\.1)$')" = 2 ] ||
    fail "the program or its manual page is not in the package"

export VELOTAP_DEMO_BUILD=$build/demo
want=$(/usr/bin/python3 -c 'import mido; print(sum(m.type == "note_on" and m.velocity > 0
       for m in mido.merge_tracks(mido.MidiFile("examples/ode_to_joy.mid").tracks)))')
rm -f "$build"/demo/ode_to_joy.{wav,png} # no audio output: FluidSynth records the song
XDG_RUNTIME_DIR=$tmp PULSE_SERVER='' scripts/demo >"$tmp/out" 2>&1 && [ -s "$build/demo/ode_to_joy.png" ] &&
    sox "$build/demo/ode_to_joy.wav" -n stat 2>&1 | awk '/^Length/ {s = $3} /^RMS +amp/ {a = $3}
        END {exit !(s > 16.5 && s < 18.5 && a > 0.01)}' || fail "no recording of the song: $(cat "$tmp/out")"
tests/alsa-vm -w "$build/demo" -- bash -c 'aseqdump >"$DIR/synth" & sleep 1
    VELOTAP_DEMO_BUILD=$DIR scripts/demo >"$DIR/out" 2>&1; sleep 0.5; kill %1; wait
    modprobe snd-dummy && VELOTAP_DEMO_BUILD=$DIR scripts/demo -t 0.25 >"$DIR/card" 2>&1' &&
    grep -q "sound to the ALSA sound card" "$build/demo/card" || fail "demo on ALSA: $(cat "$build"/demo/{out,card})"
got=$(grep -cE 'Note on +[0-9]+, note [0-9]+, velocity [1-9]' "$build/demo/synth" || true)
[ "$got" = "$want" ] || fail "the synthesizer on ALSA got $got of $want notes: $(cat "$build/demo/out")"

# README.md's commands that connect a synthesizer to the virtual port, as written after they
# start FluidSynth, with a receiver that prints what it gets in its place: a song with a lead-in
# of 2 s must arrive whole, on JACK (a private server) and on the ALSA sequencer.
readme() { sed -n "/^### $1/,/^##/{/^    fluidsynth/,/^\$/p}" README.md |
    sed "1d; s/$2/$3/; s|song.mid|$tmp/song.mid|"; }
notes() { grep -cE 'ote on.*velocity +[1-9]' "$tmp/$1" || true; }
/usr/bin/python3 -c 'import mido, sys; mido.MidiFile(tracks=[[mido.Message("note_on", note=n,
    time=1920 if n == 60 else 24) for n in range(60, 100)]]).save(sys.argv[1])' "$tmp/song.mid"
export PATH=$tmp/usr/bin:$PATH JACK_DEFAULT_SERVER=velotap-pkg-$$ JACK_NO_START_SERVER=1
jackd -n "$JACK_DEFAULT_SERVER" -S --no-realtime -d dummy -r 48000 -p 256 &>/dev/null & jackd=$! dump=''
# The receiver leaves first: a client killed at the same moment can take jackd down by SIGPIPE,
# and its entry in JACK's registry of servers stays taken.
trap 'set +e; { kill $dump; wait $dump; kill $jackd; wait $jackd; } 2>/dev/null; rm -rf "$tmp"' EXIT
for _ in $(seq 50); do jack_lsp &>/dev/null && break; sleep 0.1; done
jack_midi_dump >"$tmp/jack" & dump=$!
(timeout 30 bash -c "$(readme JACK fluidsynth-midi:midi_00 midi-monitor:input); wait"; sleep 0.5
    kill $dump) &>"$tmp/out" || true
tests/alsa-vm -w "$tmp" -- bash -c 'PATH=$DIR/usr/bin:$PATH; aseqdump >"$DIR/alsa" &
    timeout 60 bash -c "$1; wait"; sleep 0.5; kill %1' _ "$(readme ALSA 'FLUID Synth' aseqdump)" \
    &>>"$tmp/out" || true
[ "$(notes jack) $(notes alsa)" = "40 40" ] ||
    fail "README's connect commands: $(notes jack) of 40 notes on JACK, $(notes alsa) on ALSA: $(cat "$tmp/out")"
echo "packaging passed"
