#!/usr/bin/env bash
# packaging.sh BUILD_DIR: the installed layout and manual page, the Debian package, the example
# song, and the demo: played to its monitor on JACK (the example, then a file of the user's),
# stopped with SIGTERM, and played to a synthesizer's stand-in on the ALSA sequencer.
set -euo pipefail
build=$(realpath "$1")
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/usr" >/dev/null
usage=$("$tmp/usr/bin/velotap")
page=$(MANWIDTH=80 man --warnings -l "$tmp/usr/share/man/man1/velotap.1" 2>"$tmp/man.err" | sed 's/.\x08//g')
[ ! -s "$tmp/man.err" ] || fail "manual page warnings: $(cat "$tmp/man.err")"
for opt in $(grep -oE '^ +-[a-z]' <<<"$usage"); do
    grep -qE "^ {7}$opt( |,|$)" <<<"$page" || fail "option $opt not in the manual page"
done

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp" >/dev/null 2>&1
deb=$(echo "$tmp"/velotap_*_amd64.deb)
grep -q librtmidi <<<"$(dpkg-deb -f "$deb" Depends)" || fail "the package does not depend on RtMidi"
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/velotap ./usr/share/man/man1/velotap.1; do
    grep -q " $f$" <<<"$contents" || fail "$f not in the package"
done

/usr/bin/python3 examples/make_song.py "$tmp/song.mid" >/dev/null
cmp -s "$tmp/song.mid" examples/ode_to_joy.mid || fail "examples/ode_to_joy.mid is stale"

export VELOTAP_DEMO_BUILD=$build/demo
note_ons() { grep -cE '^ +[0-9.]+s +ch[0-9]+ +[A-G]#?-?[0-9]+ +on ' "$1" || true; }
want=$(/usr/bin/python3 -c 'import mido; print(sum(m.type == "note_on" and m.velocity > 0
       for m in mido.merge_tracks(mido.MidiFile("examples/ode_to_joy.mid").tracks)))')
scripts/demo --monitor -f 600 >"$tmp/out" 2>&1 || fail "demo: $(cat "$tmp/out")"
[ "$(note_ons "$tmp/out")" = "$want" ] || fail "the monitor saw $(note_ons "$tmp/out") of $want notes"
printf 'MThd\0\0\0\6\0\0\0\1\0\x60MTrk\0\0\0\x10\x60\x90\x3c\x40\x60\x80\x3c\0\0\x90\x3e\x40\x60\x80\x3e\0' \
    >"$tmp/mine.mid"
scripts/demo --monitor -v "$tmp/mine.mid" >"$tmp/out" 2>&1 || fail "demo: $(cat "$tmp/out")"
[ "$(note_ons "$tmp/out")" = 2 ] || fail "demo with a file of the user's: $(cat "$tmp/out")"

setsid scripts/demo --monitor >"$tmp/out" 2>&1 &
demo=$!
for _ in $(seq 300); do [ "$(note_ons "$tmp/out")" -ge 3 ] && break; sleep 0.1; done
kill -TERM "$demo"
status=0
wait "$demo" || status=$?
server=$(grep -oE 'private JACK server "[^"]+"' "$tmp/out" | cut -d'"' -f2)
[ "$status" = 143 ] && ! pgrep -f "jackd -n $server" >/dev/null && ! grep -q "did not stop" "$tmp/out" ||
    fail "demo stopped with SIGTERM: status $status, left: $(pgrep -af "$server|note_monitor")"
grep -qE 'ch1 +CC 64 = 0' "$tmp/out" || fail "demo stopped with SIGTERM: no sustain-off"

tests/alsa-vm -w "$build/demo" -- bash -c 'aseqdump >"$DIR/synth" & sleep 1
    VELOTAP_DEMO_BUILD=$DIR scripts/demo >"$DIR/out" 2>&1; sleep 0.5; kill %1' || fail "demo on ALSA: $(cat "$build/demo/out")"
got=$(grep -cE 'Note on +[0-9]+, note [0-9]+, velocity [1-9]' "$build/demo/synth" || true)
[ "$got" = "$want" ] || fail "the synthesizer on ALSA got $got of $want notes: $(cat "$build/demo/out")"
echo "packaging passed"
