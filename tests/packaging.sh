#!/usr/bin/env bash
# packaging.sh BUILD_DIR: the installed layout and manual page, the Debian package, and the demo:
# recorded by FluidSynth where there is no audio output, and on the ALSA sequencer to a
# synthesizer's stand-in and to a sound card.
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
echo "packaging passed"
