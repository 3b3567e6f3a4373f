#!/usr/bin/env bash
# demo_test.sh SOURCE_DIR DEMO_BUILD_DIR
# scripts/demo, headless, in its monitor mode: played to the end it exits with 0 after the
# monitor showed every note of the song and velotap's closing sustain-off; interrupted
# (Ctrl-C, SIGTERM) it stops early, still silences its notes, and exits with 128 + the signal.
# Either way no process of the demo (JACK server, monitor, velotap) is left, and the JACK
# server shut down cleanly.
set -euo pipefail
src=$1
export VELOTAP_DEMO_BUILD=$2
work=$(mktemp -d)
demo_pid=""
cleanup() {
    [ -z "$demo_pid" ] || kill -KILL -- -"$demo_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    [ ! -f "$work/out" ] || { echo "--- demo output:"; cat "$work/out"; } >&2
    exit 1
}

# Processes whose command line or environment mention NAME. Read with tr, whose own arguments
# do not hold the name, so the search does not find itself.
mentioning() {
    local dir file content
    for dir in /proc/[0-9]*; do
        for file in cmdline environ; do
            content=$(tr '\0' ' ' 2>/dev/null <"$dir/$file") || continue
            if [[ "$content" == *"$1"* ]]; then
                echo "${dir#/proc/}"
                break
            fi
        done
    done
}

# Lines of the monitor: "   1.23s  ch1  E5   on   vel 100", "...  ch1  E5   off".
note_ons() { grep -cE '^ +[0-9.]+s  ch[0-9]+ +[A-G]#?-?[0-9]+ +on ' "$work/out" || true; }

# Every note the monitor saw start, it saw end.
all_released() {
    awk '$1 ~ /^[0-9.]+s$/ && $3 ~ /^[A-G]#?-?[0-9]+$/ { n[$2 " " $3] += ($4 == "on") ? 1 : -1 }
         END { for (k in n) if (n[k] != 0) { print "still sounding: " k; bad = 1 }; exit bad }' \
        "$work/out"
}

check_no_leftovers() {
    local server pid left
    ! grep -q "did not stop" "$work/out" || fail "the demo had to kill a process"
    server=$(grep -oE 'private JACK server "[^"]+"' "$work/out" | cut -d'"' -f2)
    [ -n "$server" ] || fail "the demo named no private JACK server"
    for pid in $(grep -oE '\(pid [0-9]+\)' "$work/out" | tr -dc '0-9\n'); do
        ! kill -0 "$pid" 2>/dev/null || fail "process $pid reported by the demo still runs"
    done
    left=$(mentioning "$server")
    [ -z "$left" ] || fail "left running: $(ps -o pid,args -p "${left//$'\n'/,}")"
    # A server that shut down cleanly leaves no socket or semaphore behind; a killed one does,
    # and keeps its entry in JACK's registry of eight servers.
    left=$(compgen -G "/dev/shm/*_${server}_*" || true)
    [ -z "$left" ] || fail "JACK server $server did not shut down cleanly, left: $left"
}

expected=$(/usr/bin/python3 -c "
import mido, sys
song = mido.MidiFile(sys.argv[1])
print(sum(m.type == 'note_on' and m.velocity > 0 for t in song.tracks for m in t))
" "$src/examples/ode_to_joy.mid")

# 1. Played to the end, twice as fast to keep the test short (the song still has its lead-in).
status=0
timeout 150 "$src/scripts/demo" --monitor -t 0.5 </dev/null >"$work/out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "the demo exited with $status"
grep -q "monitor: listening to .*Vorn Filter Output" "$work/out" || fail "monitor not connected"
[ "$(note_ons)" -eq "$expected" ] || fail "monitor saw $(note_ons) of $expected notes"
all_released || fail "notes left sounding"
# The song never touches channel 2's pedal: this comes from velotap's exit.
grep -qE 'ch2 +CC 64 = 0' "$work/out" || fail "no sustain-off on channel 2 at the end"
check_no_leftovers
echo "full run: $expected notes, exit 0, nothing left"

# 2. Interrupted: like Ctrl-C in a terminal (SIGINT to the demo's whole process group, where
# velotap gets it too), and like a supervisor stopping it (SIGTERM to the script alone).
# The demo runs in a session of its own, with SIGINT not ignored as it is for background jobs.
for how in ctrl-c sigterm; do
    /usr/bin/python3 -c '
import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.setsid()
os.execv(sys.argv[1], sys.argv[1:])' "$src/scripts/demo" --monitor </dev/null >"$work/out" 2>&1 &
    demo_pid=$!
    for _ in $(seq 600); do
        [ "$(note_ons)" -ge 10 ] && break
        kill -0 "$demo_pid" 2>/dev/null || break
        sleep 0.1
    done
    [ "$(note_ons)" -ge 10 ] || fail "no notes within 60 s"
    if [ "$how" = ctrl-c ]; then
        kill -INT -- -"$demo_pid"
        want=130
    else
        kill -TERM "$demo_pid"
        want=143
    fi
    status=0
    wait "$demo_pid" || status=$?
    demo_pid=""
    [ "$status" -eq "$want" ] || fail "$how: the demo exited with $status"
    [ "$(note_ons)" -lt "$expected" ] || fail "$how: the demo played on to the end"
    all_released || fail "$how: notes left sounding"
    grep -qE 'ch2 +CC 64 = 0' "$work/out" || fail "$how: no sustain-off on channel 2"
    check_no_leftovers
    echo "$how: stopped after $(note_ons) notes, exit $status, nothing left"
done
