#!/usr/bin/python3
# The real velotap on a real MIDI system, JACK or the ALSA sequencer: one table of rows and a
# few longer steps, checking standard output and error, exit status and what reaches the port.
#     tests/e2e.py jack|alsa VELOTAP [--step NAME] [--skip NAME]
import atexit, collections, difflib, gc, glob, os, signal, subprocess as sp, sys, tempfile, time
import rtmidi
import ear

SYSTEM, VELOTAP = sys.argv[1], os.path.abspath(sys.argv[2])
OPTS = dict(zip(sys.argv[3::2], sys.argv[4::2]))
API = {"jack": rtmidi.API_UNIX_JACK, "alsa": rtmidi.API_LINUX_ALSA}[SYSTEM]
TMP, HERE = tempfile.mkdtemp(prefix="velotap-e2e-"), os.path.dirname(os.path.abspath(__file__))
os.environ["LSAN_OPTIONS"] = "suppressions=" + HERE + "/lsan.supp"  # the libraries' own leaks
signal.signal(signal.SIGINT, signal.SIG_DFL)  # as in a terminal, also when started in background
signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # through atexit: the servers stop
PEDALS_OFF = ["b0 40 00", "b1 40 00"]  # channels 1 and 2, at every exit
CLEAR = (["9%x %02x 00" % (c, n) for n in range(128) for c in range(16)] + PEDALS_OFF +
         ["b%x 40 00" % c for c in range(2, 16)] + PEDALS_OFF)
USAGE = ["Usage: velotap [options] filename"]
PLAYING, failures = "Playing midi file ... quit with Ctrl-C.\n", []


def smf(fmt, division, *tracks, end="00 ff 2f 00", chunk=b""):
    # A file of tracks written as hex bytes, each closed by `end`, after the header and `chunk`.
    out = b"MThd\0\0\0\6" + b"".join(v.to_bytes(2, "big", signed=True)
                                     for v in (fmt, len(tracks), division)) + chunk
    for body in (bytes.fromhex(t + " " + end) for t in tracks):
        out += b"MTrk" + len(body).to_bytes(4, "big") + body
    return out


def write(data, name=os.path.join(TMP, "case.mid")):
    open(name, "wb").write(data)
    return name


def hexes(msgs):  # one "st d1 d2" string a message, whatever its length
    return [" ".join("%02x" % b for b in m) for _, m in msgs]


def left_sounding(msgs):
    # Notes and sustain pedals still down after msgs, and any message that is not 3 bytes long.
    held = {}  # (channel, note) for notes, (channel, "pedal") for the sustain pedal
    for _, m in msgs:
        if len(m) != 3:
            return ["a message of %d bytes" % len(m)]
        st, d1, d2 = m
        pedal = st & 0xF0 == 0xB0
        if st & 0xE0 == 0x80 or pedal and d1 == 64:
            held[st & 15, "pedal" if pedal else d1] = st >= 0x90 and d2 >= (64 if pedal else 1)
    return sorted(str(k) for k, on in held.items() if on)


class Receiver:
    # A MIDI input, ours or connected to another program's output, recording what arrives.
    def __init__(self, client="synth", connect_to=None):
        self.port, self.msgs = rtmidi.MidiIn(API, client), []
        self.port.set_callback(lambda e, _: self.msgs.append((time.monotonic(), e[0])))
        if connect_to is None:
            self.port.open_virtual_port("in")
        elif until(lambda: [n for n in self.port.get_ports() if connect_to in n]):
            self.port.open_port([connect_to in n for n in self.port.get_ports()].index(True))

    def settle(self, quiet=0.3):  # what arrived until nothing more came for a while; forgotten
        n = -1
        while n < len(self.msgs):
            n = len(self.msgs)
            time.sleep(quiet)
        msgs, self.msgs = self.msgs, []
        return msgs


def start(args, stdout=sp.PIPE):
    return sp.Popen([VELOTAP] + args, stdout=stdout, stderr=sp.PIPE, text=True, errors="replace")


def check(name, what, got, expected):
    if got == expected:
        return
    failures.append(name)  # a line diff: a list item by item, a text line by line, else whole
    lines = lambda v: v if isinstance(v, list) else str(v).splitlines() or [repr(v)]
    print("FAIL %s: %s" % (name, what), *difflib.unified_diff(
        lines(expected), lines(got), "expected", "got", lineterm=""), sep="\n  ")


def until(cond, timeout=10):
    end = time.monotonic() + timeout
    while not cond() and time.monotonic() < end:
        time.sleep(0.01)
    return cond()


def blocked(p):  # velotap waits to write to its standard output, which nobody reads
    return any(open(w).read() == "pipe_write" for w in glob.glob("/proc/%d/task/*/wchan" % p.pid))


def term_when_blocked(p):  # SIGTERM once velotap is blocked writing; the time it was sent
    until(lambda: blocked(p))
    return p.send_signal(signal.SIGTERM) or time.monotonic()


def quick_fg(p):  # Ctrl-Z in a rest, fg 30 ms later
    until(lambda: len(SYNTH.msgs) >= 3)
    p.send_signal(signal.SIGTSTP), time.sleep(0.03), p.send_signal(signal.SIGCONT)


def port_number(prefix):  # as the MIDI system lists its outputs; "0" (virtual) while none is
    names = rtmidi.MidiOut(API, "port list").get_ports()
    return str(next((k + 1 for k, p in enumerate(names) if p.startswith(prefix)), 0))


# A row of the table:
# - name: what a user sees break when the row fails;
# - args: velotap's arguments, where "{file}" is the row's file and "{synth}" our receiver's port;
# - file: the file (None: an empty one);
# - out: standard output, whole (a string, where "{port}" stands for the line naming our port
#   and "{list}" for the port list), or lines that must come in this order (a list); None: any;
# - msgs: what reaches the port, one "st d1 d2" string a message; None: anything;
# - status: the exit status;
# - action: a signal, sent once two messages arrived (at the virtual port when there is no -o),
#   or a function of the process, which gives the time it sent a signal, if any.
Row = collections.namedtuple("Row", "name args file out msgs status action",
                             defaults=(None, None, (), 0, None))


PLAY = ["-o", "{synth}", "{file}"]
LONG = "81 00 90 3c 40 00 b2 40 40 83 e1 00 90 3e 40"  # the second note in 5 min; a pedal at 64
SWEPT = ["90 3c 40", "b2 40 40", "90 3c 00"] + PEDALS_OFF + ["b2 40 00"]  # never the 2nd note
# A note, a pedal at 64, then 3000 texts: with -v, 64-byte lines, three times what a pipe holds
TEXTS = smf(0, 96, "00 90 3c 40 00 b2 40 40 " + " ".join(
    "01 ff 01 3a " + ("%058d" % k).encode().hex() for k in range(3000)))
MERGE = ("60 90 3c 40 00 90 3d 40 60 80 3c 00 00 80 3d 00",
         "60 91 40 40 00 91 41 40 30 81 40 00 00 81 41 00")
ROWS = [
    Row("no arguments: the usage text", [], out=USAGE),
    Row("a value option given last: the usage text", ["{file}", "-o"], out=USAGE),
    Row("-f 0: the usage text", ["-f", "0", "{file}"], out=USAGE),
    Row("-l lists the ports, whatever else is asked", ["-l", "-o", "1", "-c", "{file}"],
        out="{list}"),
    Row("clear-notes silences every note on every channel, then every pedal",
        ["-c", "-o", "{synth}"], out="{port}\n", msgs=CLEAR),
    Row("only notes and controllers leave, as read, running status included", PLAY,
        smf(0, 96, "00 90 3c 40 00 a0 3c 10 00 b3 07 64 00 f0 02 01 f7 00 3e 41 00 ff 7f 01 00"
                   " 00 41 42 00 c0 05 00 d0 30 00 e0 00 40 10 90 3c 00 00 8e 3e 7f"),
        msgs=["90 3c 40", "b3 07 64", "b3 3e 41", "b3 41 42", "90 3c 00", "8e 3e 7f"] + PEDALS_OFF),
    Row("an undecodable event stops the song; the sweep goes note by note, then channel", PLAY,
        smf(0, 96, "00 92 40 40 00 90 40 40 00 9f 3c 40 00 91 3c 40 00 95 41 40 00 95 41 00"
                   " 10 f4 00 00 10 90 50 40"), out=["Unexpected event: f4H"],
        msgs=["92 40 40", "90 40 40", "9f 3c 40", "91 3c 40", "95 41 40", "95 41 00", "91 3c 00",
              "9f 3c 00", "90 40 00", "92 40 00"] + PEDALS_OFF),
    Row("an undecodable event at the start stops every track's opening notes", PLAY,
        smf(1, 96, "00 90 3c 40 00 f4 00 00 00 90 3e 40", "00 90 40 40"),
        out=["Unexpected event: f4H"], msgs=["90 3c 40", "90 3c 00"] + PEDALS_OFF),
    Row("format 1 plays its tracks together, merged by time", ["-f", "1200"] + PLAY,
        smf(1, 96, *MERGE), msgs=["90 3c 40", "91 40 40", "90 3d 40", "91 41 40", "81 40 00",
                                  "81 41 00", "80 3c 00", "80 3d 00"] + PEDALS_OFF),
    Row("format 2 plays its tracks one after another", ["-f", "1200"] + PLAY, smf(2, 96, *MERGE),
        msgs=["90 3c 40", "90 3d 40", "80 3c 00", "80 3d 00", "91 40 40", "91 41 40", "81 40 00",
              "81 41 00"] + PEDALS_OFF),
    # Cut short everywhere: nothing is read outside the body, no cut-off note is sent; what lies
    # past the end and can still be told is reported.
    Row("malformed tracks end quietly", ["-v"] + PLAY,
        smf(1, 96, "00 ff 0a 10 01", "00 f0 64 01", "00 ff 03 0a 41 42", "", "81", "00 90",
            "00 90 3c", "00 f0 85", "00 f0 8f ff ff ff 7f", "00 ff 03 8f ff ff ff 7f 61",
            "00 ff 51 03 07 a1", "00 ff 58 04 04", "00 ff", "60 90",
            "8f ff ff ff 7f 90 3c 40 00 ff 2f 00", end="") + b"MTrk\xff\0\0\0\0\x90",
        out=["[0] Unknown Meta 0aH 10", "Sysex len=100", "TRACK NAME:AB"],
        msgs=["90 3c 40", "90 3c 00"] + PEDALS_OFF),
    Row("a closed standard output does not stop the song", ["-v"] + PLAY,
        smf(0, 96, " ".join("00 90 %02x 40 01 80 %02x 00" % (k, k) for k in range(40, 90))),
        msgs=[m % k for k in range(40, 90) for m in ("90 %02x 40", "80 %02x 00")] + PEDALS_OFF,
        action=lambda p: p.stdout.read(300) and p.stdout.close()),
    Row("a quick fg after Ctrl-Z: the song goes on, its pedal pressed again", PLAY, smf(
        0, 96, "00 b2 40 40 00 90 3c 40 00 80 3c 00 60 90 3e 40 00 80 3e 00"), msgs=["b2 40 40",
        "90 3c 40", "80 3c 00"] + PEDALS_OFF + ["b2 40 00", "b2 40 40", "90 3e 40", "80 3e 00"]
        + PEDALS_OFF + ["b2 40 00"], action=quick_fg),
] + [  # stop signals, a few times over: any thread of velotap's may be the one to take them
    Row("SIGTERM: nothing the song had not reached goes out, then the sweep", PLAY,
        smf(0, 96, LONG), msgs=SWEPT, action=signal.SIGTERM),
    Row("SIGHUP, format 1: nothing the song had not reached goes out, then the sweep", PLAY,
        smf(1, 96, LONG, "83 e1 00 90 40 40"), msgs=SWEPT, action=signal.SIGHUP),
    Row("SIGTERM while standard output is blocked: the sweep, at once", ["-v", "-f", "1200"] + PLAY,
        TEXTS, msgs=SWEPT, action=term_when_blocked),
    Row("SIGINT to the virtual port: nothing the song had not reached, then the sweep",
        ["{file}"], smf(0, 96, LONG), msgs=SWEPT, action=signal.SIGINT),
] * 3


def decoded(name, *pairs, args=()):
    # A row from pairs of event bytes and the line velotap prints for the event ("" for none):
    # the file holds the events in one track, and standard output is exactly those lines.
    out = "{port}\n" + PLAYING + "format0, tracks 1, division 96\n" + "".join(
        line + "\n" for _, line in pairs if line)
    return Row(name, list(args) + PLAY, smf(0, 96, " ".join(e for e, _ in pairs), end=""), out,
               msgs=None)


# What velotap prints of a file, the same on both MIDI systems and in every build: run once.
END = ("00 ff 2f 00", "END OF TRACK #1 ticks=0")
DECODING = [
    decoded("names, copyright, markers, tempo and track ends are printed, other events are not",
            ("00 ff 03 01 4e", "TRACK NAME:N"), ("00 ff 02 01 43", "COPYRIGHT:C"),
            ("00 ff 06 01 4d", "MARKER:M"), ("00 ff 01 01 54", ""), ("00 ff 59 02 00 00", ""),
            ("00 90 3c 40", ""), ("00 c0 05", ""), ("00 f0 01 7f", ""),
            ("00 ff 51 03 07 a1 20",
             "TEMPO (track 1) 500000 us per quarter note, 120 bpm, ticks=0 "), END),
    decoded("texts are cut at 256 bytes and at a zero byte",
            ("00 ff 03 82 2c " + "61 " * 299 + "62", "TRACK NAME:" + "a" * 256),
            ("00 ff 06 03 4d 00 42", "MARKER:M"), END),
    decoded("-t scales the file's tempo, then -f fixes the tempo and marks the line IGNORED",
            ("00 ff 51 03 07 a1 20",
             "TEMPO (track 1) 450000 us per quarter note, 133 bpm, ticks=0  IGNORED "), END,
            args=("-t", "0.9", "-f", "100000000")),
    Row("an unknown chunk is reported and skipped", PLAY, smf(0, 96, "00 ff 06 01 4d",
        chunk=b"XYZW\0\0\0\4abcd"), out="{port}\n" + PLAYING + "format0, tracks 1, division 96\n"
        "Got unpexpected header\nMARKER:M\nEND OF TRACK #1 ticks=0\n", msgs=None),
]


def run_rows(rows):
    names = rtmidi.MidiOut(API, "port list").get_ports()  # as the MIDI system itself lists them
    listing = "\nThere are %d MIDI output ports available.\n%s\n" % (len(names), "".join(
        "  Output Port #%d: %s\n" % (k + 1, p) for k, p in enumerate(names)))
    port_line = "  Output Port #%s: %s" % (N, names[int(N) - 1])
    for row in rows:
        fill = {"{synth}": N, "{file}": write(row.file or smf(0, 96, ""))}
        p = start([fill.get(a, a) for a in row.args])
        virtual = row.action and "{synth}" not in row.args
        rec, sent = Receiver("patch", "Vorn Filter") if virtual else SYNTH, 0
        if isinstance(row.action, signal.Signals):
            until(lambda: len(rec.msgs) >= 2)
            p.send_signal(row.action)
            sent = time.monotonic()
        elif row.action:
            sent = row.action(p)
        until(lambda: p.poll() is not None, 60) or p.kill()  # a hung run fails; its output is small
        ended = time.monotonic()
        stdout, stderr = p.communicate()
        got = rec.settle()
        if isinstance(row.out, str):
            check(row.name, "stdout", stdout,
                  row.out.replace("{list}", listing).replace("{port}", port_line))
        elif row.out:
            check(row.name, "stdout", [l for l in stdout.splitlines() if l in row.out], row.out)
        check(row.name, "stderr, status", (stderr, p.returncode), ("", row.status))
        if row.msgs is not None:
            check(row.name, "messages", hexes(got), list(row.msgs))
        if sent and SYSTEM == "jack":
            check(row.name, "a message within 100 ms of the signal, the end within 1 s", (
                min([t - sent for t, _ in got if t >= sent] or [1]) < 0.1, ended - sent < 1),
                (True, True))
        if virtual:
            rec.port.delete()


def suspend_and_resume():
    # Stopped for a second and continued, velotap goes on with every note, at the song's own
    # pace (after Ctrl-Z the rest of the wait first: 0.7 s of a 1 s rest): no burst. Ctrl-Z
    # (in a rest, in a burst that never waits, blocked writing to standard output) stops it within
    # 300 ms and silences first, and after fg the song's pedal (at 64) is pressed again before
    # anything else; SIGSTOP cannot be caught. SIGTERM and SIGCONT while stopped by Ctrl-Z (a
    # shell's kill %1) send the sweep and nothing else.
    paced = smf(0, 96, "00 b2 40 40 " + " ".join("00 90 %02x 40 %s 80 %02x 00" % (
        60 + k, "81 40" if k == 4 else "18", 60 + k) for k in range(20)))  # 1 s at the 5th note
    burst = smf(1, 96, "00 ff 51 03 07 a1 20 00 b2 40 40", *(" ".join(
        "01 9%d %02x 40 01 8%d %02x 00" % (c, k % 64, c, k % 64) for k in range(250))
        for c in range(4)))
    undisturbed = start(["-v", "-f", "1200", "-o", N, write(TEXTS)]).communicate()[0]
    SYNTH.settle()
    for name, sig, args, song, count, follows in (  # what follows the stop: the next message
            ("Ctrl-Z in a rest", signal.SIGTSTP, [], paced, 20, "b2 40 40"),
            ("SIGSTOP in a rest", signal.SIGSTOP, [], paced, 20, "80 40 00"),
            ("Ctrl-Z in a burst", signal.SIGTSTP, ["-t", "0"], burst, 1000, "b2 40 40"),
            ("kill %1 after Ctrl-Z", signal.SIGTERM, ["-t", "0"], burst, None, "b0 40 00"),
            ("Ctrl-Z blocked writing", signal.SIGTSTP, ["-v", "-f", "1200"], TEXTS, 1, "b2 40 40")):
        p = start(args + ["-o", N, write(song)], sp.PIPE if "-v" in args else sp.DEVNULL)
        until(lambda: len(SYNTH.msgs) >= 9 or blocked(p))
        time.sleep(0.3)
        p.send_signal(signal.SIGSTOP if sig == signal.SIGSTOP else signal.SIGTSTP)
        asked = time.monotonic()
        until(lambda: open("/proc/%d/stat" % p.pid).read().split()[2] == "T", 1)
        took = time.monotonic() - asked
        time.sleep(0.3)
        stopped = len(SYNTH.msgs)
        time.sleep(0.7)
        resumed, moved = time.monotonic(), len(SYNTH.msgs) - stopped
        if sig == signal.SIGTERM:
            p.send_signal(sig)
        p.send_signal(signal.SIGCONT)
        try:
            stdout = p.communicate(timeout=20)[0]
        except sp.TimeoutExpired:  # stopped for good
            stdout = p.kill() or p.communicate()[0]
        msgs = SYNTH.settle()
        on = [t for t, m in msgs if m[0] & 0xF0 == 0x90 and m[2]]
        after = [t for t in on if t > resumed]
        silenced = not left_sounding(msgs[:stopped]) and hexes(msgs[:stopped])[-3:] == SWEPT[-3:]
        paced_on = song != paced or after[1:] != [] and all(0.1 < b - a < 0.15 for a, b in zip(
            after, after[1:])) and (sig == signal.SIGSTOP or abs(after[0] - resumed - 0.7) < 0.1)
        check(name, "stopped within 300 ms, quiet while stopped, silenced (Ctrl-Z), the next "
              "message, every note (after a kill: none more), at the song's pace, standard output",
              (took < 0.3, moved, silenced, hexes(msgs[stopped:stopped + 1]), len(on), paced_on,
               stdout in (None, undisturbed)), (True, 0, sig != signal.SIGSTOP, [follows],
                                                count or len(on) - len(after), True, True))


def jackd(name):
    # A private JACK server, for velotap and for what the tests start from here on. It stops with
    # the runner: at its end (waited for, which leaves JACK's registry of servers clean), on
    # SIGTERM, and when the runner is killed outright (a parent-death signal).
    server = sp.Popen(ear.WITH_RUNNER + ["jackd", "-n", name, "-S", "--no-realtime", "-d", "dummy",
                      "-r", "48000", "-p", "256"], stdout=sp.DEVNULL, stderr=sp.DEVNULL)
    atexit.register(lambda: server.terminate() or server.wait())  # also when the runner fails
    os.environ["JACK_DEFAULT_SERVER"] = name
    until(lambda: not sp.run(["jack_lsp"], capture_output=True).returncode)
    return server


def server_killed():
    # A JACK server killed under velotap in a dense song: noticed once the library's queue to the
    # server is full (2340 messages); velotap says so and ends with status 1.
    server = jackd("velotap-dead")
    p = start([write(smf(0, 96, "00 90 3c 40 00 80 3c 00 " * 5000))], sp.DEVNULL)
    time.sleep(0.5)
    server.kill()
    killed = time.monotonic()
    time.sleep(2.5)  # the queue is full by then, even on a busy machine
    p.send_signal(signal.SIGINT)
    until(lambda: p.poll() is not None, 3) or p.kill()
    check("server killed", "status, within 5 s, line", (p.wait(), time.monotonic() - killed < 5,
          p.stderr.read().count("velotap: the MIDI output stopped responding\n")), (1, True, 1))
    server.wait()
    os.environ["JACK_DEFAULT_SERVER"] = MAIN


def corpus():
    # The fuzzer's seeds and the peer collection of odd files (beside the project, in ../shared,
    # which CI always has and requires with VELOTAP_REQUIRE_CORPUS set): each plays through with
    # nothing left sounding.
    peer = glob.glob(HERE + "/../../shared/corpus/peer/*.mid")
    if not peer:
        print("SKIPPED: the peer corpus, ../shared/corpus/peer, is not there")
        check("peer corpus", "required", False, "VELOTAP_REQUIRE_CORPUS" in os.environ)
    files = sorted(glob.glob(HERE + "/fuzz/corpus/*") + peer, key=os.path.getsize)[::-1]
    receivers = [Receiver("corpus%d" % k) for k in range(8)]  # eight files at a time, longest first
    ports = [port_number("corpus%d:" % k) for k in range(8)]
    for first in range(0, len(files), 8):
        # 50 ms apart: a batch of eight opening and closing their JACK clients at one moment once
        # stalled the server past velotap's 2 s watchdog
        runs = [(f, r, time.sleep(0.05) or start(["-v", "-f", "100000000", "-o", n, f],
                                                  sp.DEVNULL))
                for f, r, n in zip(files[first:first + 8], receivers, ports)]
        for f, r, p in runs:
            check("corpus " + os.path.basename(f), "status, stderr, left sounding", (p.wait(120),
                  p.stderr.read(), left_sounding(r.settle(0.02))), (0, "", []))
    for r in receivers:
        r.port.delete()


# By ear: FluidSynth, set up by its shell commands (an organ: "prog 0 19"), plays what velotap
# sends and writes its sound to a file. A figure of the levels (dBFS per 10 ms from velotap's
# start; t: the time of the signal, sent 1 s in, or of velotap's end) must stay below the
# row's limit. A row where nothing is heard fails, so a wrong port cannot pass in silence.
Heard = collections.namedtuple("Heard", "name file figure limit commands signal",
                               defaults=((), None))


def kept(lv, t):  # the synth's organ, not the file's piano: a 4 s note does not decay
    onset = round(ear.rises(lv, -60)[0] * 100)  # levels are 10 ms apart
    return abs(lv[onset + 300][1] - lv[onset + 50][1])


def late(lv, t):  # four notes, one every 250 ms: the worst onset error, in seconds
    r = ear.rises(lv, -50)
    return max(abs(s - r[0] - k / 4) for k, s in enumerate(r)) if len(r) == 4 else 9


def ringing(lv, t):  # the loudest a second after t (after Ctrl-Z: while still stopped)
    return max(db for s, db in lv if t + 1 <= s < t + 1.2)


def rung(lv, t):  # a pedalled note after fg, and 2 s later again: their levels 1 s after onset
    at = round(ear.rises(lv, -60)[0] * 100) + 100
    return abs(lv[at][1] - lv[at + 200][1])


ORGANS = ["prog 0 19", "prog 2 19"]
HELD = "00 b0 40 7f 00 b2 40 7f 00 90 3c 60 00 92 43 60 60 80 3c 00 00 82 43 00 00 90 40 60"
HEARD = [
    Heard("the synth keeps its own sound: a program change is not sent (dB)",
          smf(0, 96, "00 c0 00 00 90 3c 60 86 00 80 3c 00"), kept, 3, ["prog 0 19"]),
    Heard("notes sound when they are due (s)", smf(0, 96, "00 90 3c 60 0c 80 3c 00 24 90 40 60"
          " 0c 80 40 00 24 90 43 60 0c 80 43 00 24 90 48 60 0c 80 48 00"), late,
          0.05 if SYSTEM == "jack" else 0.1),  # timing in the emulated CPU is rough
    Heard("nothing rings after the end, pedals held on channels 1 and 3 (dBFS)",
          smf(0, 96, HELD), ringing, -80, ORGANS),
    # The song's pedal at 64 from the start, Ctrl-Z in the rest before the first note; pedal up
    # and down again before the second.
    Heard("a pedalled passage after Ctrl-Z and fg rings as written (dB)", smf(0, 96,
          "00 b0 40 40 83 00 90 3c 60 18 80 3c 00 82 08 b0 40 00 60 b0 40 40 00 90 3c 60 18 80 3c"
          " 00 82 08 b0 40 00"), rung, 3, signal=signal.SIGTSTP),
] + [Heard("nothing rings after %s, pedals held on channels 1 and 3 (dBFS)" % sig.name,
           smf(0, 96, HELD + " 84 00 80 40 00"), ringing, -80, ORGANS, sig)
     for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGTSTP)]


def by_ear():
    for row in HEARD:
        synth = ear.Synth(SYSTEM, TMP, row.commands)
        until(lambda: port_number(synth.name) != "0")
        mark, p = synth.mark(), start(["-o", port_number(synth.name), write(row.file)], sp.DEVNULL)
        if row.signal:
            time.sleep(1)
            p.send_signal(row.signal)
        else:
            until(lambda: p.poll() is not None, 30)
        t = time.monotonic() - mark[0]
        time.sleep(1.2)
        # After Ctrl-Z: fg, and the song to its end
        p.send_signal(signal.SIGCONT), until(lambda: p.poll() is not None, 10)
        p.terminate(), p.communicate()
        lv = synth.stop(mark)
        got = row.figure(lv, t) if max(db for _, db in lv) > -60 else 99
        check(row.name, "heard; figure %.3f below %s" % (got, row.limit), got < row.limit, True)


MAIN = "velotap-e2e-%d" % os.getpid()
SERVER = jackd(MAIN) if SYSTEM == "jack" else None
SYNTH, OTHER = Receiver(), Receiver("other")  # two ports: the list's numbering shows
N = port_number("synth:")
STEPS = dict(table=lambda: run_rows(ROWS), by_ear=by_ear)
if SERVER:
    STEPS.update(decoding=lambda: run_rows(DECODING), suspend_and_resume=suspend_and_resume,
                 server_killed=server_killed, corpus=corpus)
for name, step in STEPS.items():
    if OPTS.get("--step", name) == name != OPTS.get("--skip"):
        print("--", name, flush=True)
        step()
# Every client closed while the server still runs (the port lists' clients wait for the collector).
SYNTH.port.delete(), OTHER.port.delete(), gc.collect()
print("e2e on %s: %d failed" % (SYSTEM, len(set(failures))))
sys.exit(1 if failures else 0)
