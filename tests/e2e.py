#!/usr/bin/python3
# The real velotap on a real MIDI system, JACK or the ALSA sequencer: one table of rows and a
# few longer steps, checking standard output and error, exit status and what reaches the port.
#     tests/e2e.py jack|alsa VELOTAP [--step NAME] [--skip NAME] [--clears N]
import atexit, collections, difflib, glob, os, re, signal, subprocess as sp, sys, tempfile, time
import rtmidi
import ear

SYSTEM, VELOTAP = sys.argv[1], os.path.abspath(sys.argv[2])
OPTS = dict(zip(sys.argv[3::2], sys.argv[4::2]))
API = {"jack": rtmidi.API_UNIX_JACK, "alsa": rtmidi.API_LINUX_ALSA}[SYSTEM]
TMP, HERE = tempfile.mkdtemp(prefix="velotap-e2e-"), os.path.dirname(os.path.abspath(__file__))
os.environ["LSAN_OPTIONS"] = "suppressions=" + HERE + "/lsan.supp"  # the libraries' own leaks
signal.signal(signal.SIGINT, signal.SIG_DFL)  # as in a terminal, also when started in background
PEDALS_OFF = ["b0 40 00", "b1 40 00"]  # channels 1 and 2, at every exit
CLEAR = (["9%x %02x 00" % (c, n) for n in range(128) for c in range(16)] + PEDALS_OFF +
         ["b%x 40 00" % c for c in range(2, 16)] + PEDALS_OFF)
USAGE = ("\nUsage: velotap [options] filename\n    -o #   output port (default = virtual)\n"
         "    -v     verbose\n    -l     list output ports\n    -c     clear notes\n"
         "    -t     tempo scale (def=1.0)\n"
         "    -f     fixed tempo (specified in bpm - ignores tempo directives)\n\n")
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
    held, odd = {}, []  # (channel, note) for notes, (channel, "pedal") for the sustain pedal
    for _, m in msgs:
        if len(m) != 3:
            odd.append("a message of %d bytes" % len(m))
            continue
        st, d1, d2 = m
        pedal = st & 0xF0 == 0xB0
        if st & 0xE0 == 0x80 or pedal and d1 == 64:
            held[st & 15, "pedal" if pedal else d1] = st >= 0x90 and d2 >= (64 if pedal else 1)
    return odd + sorted(str(k) for k, on in held.items() if on)


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


def start(args, stdout=sp.PIPE, env=None):
    return sp.Popen([VELOTAP] + args, stdout=stdout, stderr=sp.PIPE, text=True, errors="replace",
                    env=dict(os.environ, **(env or {})))


def check(name, what, got, expected):
    if got == expected:
        return
    failures.append(name)
    if isinstance(got, list) or isinstance(got, str) and "\n" in got + str(expected):
        lines = (lambda v: v if isinstance(v, list) else str(v).splitlines())
        diff = difflib.unified_diff(lines(expected), lines(got), "expected", "got", lineterm="")
        print("FAIL %s: %s\n  %s" % (name, what, "\n  ".join(diff)))
    else:
        print("FAIL %s: %s\n  got:      %r\n  expected: %r" % (name, what, got, expected))


def until(cond, timeout=10):
    end = time.monotonic() + timeout
    while not cond() and time.monotonic() < end:
        time.sleep(0.01)
    return cond()


def port_number(prefix):  # as the MIDI system lists its outputs; "0" (virtual) while none is
    names = rtmidi.MidiOut(API, "port list").get_ports()
    return str(next((k + 1 for k, p in enumerate(names) if p.startswith(prefix)), 0))


# A row of the table:
# - name: what a user sees break when the row fails;
# - args: velotap's arguments, where "{file}" is the row's file and "{synth}" our receiver's port;
# - file: the file (None: an empty one);
# - out: standard output, whole (a string, where "{port}" stands for the line naming our port
#   and "{list}" for the port list), or lines that must come in this order (a list); None: any;
# - msgs: what reaches the port, one "st d1 d2" string a message, or a pattern the messages
#   joined by spaces must match (a run cut short at an unknown point); None: anything;
# - status: the exit status;
# - action: a signal, sent once two messages arrived (at the virtual port when there is no -o),
#   or a function of the process.
Row = collections.namedtuple("Row", "name args file out msgs status action",
                             defaults=(None, None, (), 0, None))


PLAY = ["-o", "{synth}", "{file}"]
LONG = "81 00 90 3c 40 00 b2 40 7f 83 e1 00 90 3e 40"  # the second note in 5 min
SWEPT = ["90 3c 40", "b2 40 7f", "90 3c 00"] + PEDALS_OFF + ["b2 40 00"]  # never the 2nd note
MERGE = ("60 90 3c 40 00 90 3d 40 60 80 3c 00 00 80 3d 00",
         "60 91 40 40 00 91 41 40 30 81 40 00 00 81 41 00")
ROWS = [
    Row("no arguments: the usage text", [], out=USAGE),
    Row("a value option given last: the usage text", ["{file}", "-o"], out=USAGE),
    Row("-f 0: the usage text", ["-f", "0", "{file}"], out=USAGE),
    Row("-l lists the ports, whatever else is asked", ["-l", "-o", "1", "-c", "{file}"],
        out="{list}"),
    Row("a port number past the list is refused", ["-o", "{synth+1}", "{file}"],
        out="Invalid output port specifier!\n"),
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
    Row("format 3 plays nothing", PLAY, smf(3, 96, *MERGE), msgs=PEDALS_OFF),
    Row("a file that cannot be opened is named, and nothing plays",
        ["-o", "{synth}", "/none.mid"], out="{port}\nCan't open file /none.mid\n", msgs=PEDALS_OFF),
    Row("a pedal held on channel 3 is released after channels 1 and 2", PLAY,
        smf(0, 96, "00 b2 40 7f 00 b5 40 40 00 b5 40 00 00 92 3c 40 00 b0 40 7f"),
        msgs=["b2 40 7f", "b5 40 40", "b5 40 00", "92 3c 40", "b0 40 7f", "92 3c 00"] +
        PEDALS_OFF + ["b2 40 00"]),
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
        action=lambda p: (p.stdout.read(300), p.stdout.close())),
] + [  # stop signals, a few times over: any thread of velotap's may be the one to take them
    Row("SIGTERM: nothing the song had not reached goes out, then the sweep", PLAY,
        smf(0, 96, LONG), msgs=SWEPT, action=signal.SIGTERM),
    Row("SIGHUP, format 1: nothing the song had not reached goes out, then the sweep", PLAY,
        smf(1, 96, LONG, "83 e1 00 90 40 40"), msgs=SWEPT, action=signal.SIGHUP),
    Row("SIGINT to the virtual port: nothing the song had not reached, then the sweep",
        ["{file}"], smf(0, 96, LONG), msgs=SWEPT, action=signal.SIGINT),
] * 3 + [
    Row("SIGINT among 20,000 opening messages ends the song", PLAY,
        smf(0, 96, "00 90 3c 40 00 80 3c 00 " * 10000), action=signal.SIGINT,
        msgs=re.compile("(90 3c 40 80 3c 00 ){1,5000}(90 3c 40 90 3c 00 )?b0 40 00 b1 40 00")),
]


def decoded(name, *pairs, args=("-v",)):
    # A row from pairs of event bytes and the line velotap prints for the event ("" for none):
    # the file holds the events in one track, and standard output is exactly those lines.
    body = bytes.fromhex(" ".join(event for event, _ in pairs))
    verbose = "-v" in args
    out = ("{port}\n" + PLAYING + "MThd (4d546864) 6 (00000006)\nGot midi header\n" * verbose +
           "format0, tracks 1, division 96\n" + "MTrk (4d54726b) %d (%08x)\nGot midi track\n"
           % (len(body), len(body)) * verbose + "".join(line + "\n" for _, line in pairs if line))
    return Row(name, list(args) + PLAY, smf(0, 96, body.hex(" "), end=""), out, msgs=None)


# What velotap prints of a file, the same on both MIDI systems and in every build: run once.
END = ("00 ff 2f 00", "END OF TRACK #1 ticks=0")
DECODING = [
    decoded("-v: a line for each kind of channel event",
            ("00 90 3c 40", "[0] Note On 0 60 64 [90 3c 40]"),
            ("00 80 3c 00", "[0] Note Off 0 60 0  [80 3c 00]"),
            ("00 b3 07 64", "[0] CC 3 7 100 [b3 07 64]"), ("00 c5 0a", "[0] Program 5 10 [c5 0a]"),
            ("00 d2 30", "[0] Pressure 2 48"), ("00 e0 01 40", "[0] Pitchbend 0 1 64 [e0 01 40]"),
            ("00 af 3c 10", "[0] Aftertouch 15 60 16 [af 3c 10]"), END),
    decoded("-v: running status, delta times of 2 and 3 bytes, sysex lengths",
            ("00 91 3c 40", "[0] Note On 1 60 64 [91 3c 40]"),
            ("81 00 3c 00", "[128] Note On 1 60 0 [91 3c 00]"), ("00 f0 01 7f", "Sysex len=1"),
            ("83 ff 7f 3e 41", "[65535] Note On 1 62 65 [91 3e 41]"),
            ("00 f7 00", "Sysex len=0"), ("00 ff 2f 00", "END OF TRACK #1 ticks=65663"),
            args=("-v", "-f", "100000000")),
    decoded("-v: a line for each kind of meta event",
            ("00 ff 58 04 06 03 18 08",
             "TIME SIG: 6/8 24 clocks-per-tick, 8 1/32 notes per quarter note"),
            ("00 ff 59 02 fe 01", "KEY SIG: sf=-2 mi=1"), ("00 ff 01 03 61 62 63", "TEXT:abc"),
            ("00 ff 08 00", "[0] Unknown Meta 08H 8"), ("00 ff 05 02 6c 61", "LYRIC:la"),
            ("00 ff 00 02 00 07", "SEQ: ss1=0 ss2=7"), ("00 ff 21 01 ff", "PORT: port=-1"),
            ("00 ff 02 00", "COPYRIGHT:"), ("00 ff 03 01 54", "TRACK NAME:T"),
            ("00 ff 04 01 49", "INSTRUMENT NAME:I"), ("00 ff 07 01 43", "CUE POINT:C"),
            ("00 ff 09 01 44", "DEVICE NAME:D"), ("00 ff 7f 01 00", ""), ("00 ff 20 01 00", ""),
            END),
    decoded("-v: texts cut at 256 bytes and at a zero byte",
            ("00 ff 01 82 2c " + "61 " * 299 + "62", "TEXT:" + "a" * 256),
            ("00 ff 06 03 4d 00 42", "MARKER:M"), END),
    decoded("-t scales the file's tempo, then -f fixes the tempo and marks the line IGNORED",
            ("00 ff 51 03 07 a1 20",
             "TEMPO (track 1) 450000 us per quarter note, 133 bpm, ticks=0  IGNORED "), END,
            args=("-t", "0.9", "-f", "100000000")),
    decoded("without -v: names, copyright, markers, tempo and track ends only",
            ("00 ff 03 01 4e", "TRACK NAME:N"), ("00 ff 02 01 43", "COPYRIGHT:C"),
            ("00 ff 06 01 4d", "MARKER:M"), ("00 ff 01 01 54", ""), ("00 ff 05 01 4c", ""),
            ("00 ff 58 04 04 02 18 08", ""), ("00 ff 59 02 00 00", ""), ("00 ff 00 02 00 01", ""),
            ("00 90 3c 40", ""), ("00 c0 05", ""), ("00 f0 01 7f", ""),
            ("00 ff 51 03 07 a1 20",
             "TEMPO (track 1) 500000 us per quarter note, 120 bpm, ticks=0 "), END, args=()),
    Row("an unknown chunk is reported and skipped", ["-v"] + PLAY,
        smf(0, 96, "", chunk=b"XYZW\0\0\0\4abcd"), out="{port}\n" + PLAYING + "MThd (4d546864) 6 "
        "(00000006)\nGot midi header\nformat0, tracks 1, division 96\nXYZW (58595a57) 4 (00000004)"
        "\nGot unpexpected header\nMTrk (4d54726b) 4 (00000004)\nGot midi track\n"
        "END OF TRACK #1 ticks=0\n", msgs=None),
    Row("a truncated second header keeps the fields it could not read", PLAY,
        smf(0, 96, "") + b"MThd\0\0\0\6\0\1", out="{port}\n" + PLAYING + "format0, tracks 1, "
        "division 96\nformat1, tracks 256, division 24576\nEND OF TRACK #1 ticks=0\n", msgs=None),
]


def run_rows(rows):
    names = rtmidi.MidiOut(API, "port list").get_ports()  # as the MIDI system itself lists them
    listing = "\nThere are %d MIDI output ports available.\n%s\n" % (len(names), "".join(
        "  Output Port #%d: %s\n" % (k + 1, p) for k, p in enumerate(names)))
    subst = {"{synth}": N, "{synth+1}": str(len(names) + 1)}
    for row in rows:
        p = start([subst.get(a, write(row.file or smf(0, 96, "")) if a == "{file}" else a)
                   for a in row.args])
        virtual = row.action and "{synth}" not in row.args
        rec, sent = Receiver("patch", "Vorn Filter") if virtual else SYNTH, 0
        if isinstance(row.action, signal.Signals):
            until(lambda: len(rec.msgs) >= 2)
            p.send_signal(row.action)
            sent = time.monotonic()
        elif row.action:
            row.action(p)
        until(lambda: p.poll() is not None, 60) or p.kill()  # a hung run fails; its output is small
        ended = time.monotonic()
        stdout, stderr = p.communicate()
        got = rec.settle()
        if isinstance(row.out, str):
            out = row.out.replace("{list}", listing)
            check(row.name, "stdout", stdout,
                  out.replace("{port}", "  Output Port #%s: %s" % (N, names[int(N) - 1])))
        elif row.out:
            check(row.name, "stdout", [l for l in stdout.splitlines() if l in row.out], row.out)
        check(row.name, "stderr, status", (stderr, p.returncode), ("", row.status))
        msgs = row.msgs
        if isinstance(msgs, re.Pattern):
            msgs = hexes(got) if msgs.fullmatch(" ".join(hexes(got))) else msgs.pattern
        if msgs is not None:
            check(row.name, "messages", hexes(got), list(msgs))
        if sent and SYSTEM == "jack":
            check(row.name, "a message within 100 ms of the signal, the end within 1 s", (
                min([t - sent for t, _ in got if t >= sent] or [1]) < 0.1, ended - sent < 1),
                (True, True))
        if virtual:
            rec.port.delete()


def table():
    run_rows(ROWS)


def decoding():
    run_rows(DECODING)


def suspend_and_resume():
    # Stopped for a second (Ctrl-Z silences first; SIGSTOP cannot be caught) and continued,
    # velotap goes on with every note, at the song's own pace: no burst of what fell due. Ctrl-Z
    # stops it within 300 ms also in the middle of a burst that never waits (-t 0).
    paced = " ".join("00 90 %02x 40 18 80 %02x 00" % (60 + k, 60 + k) for k in range(30))
    burst = "00 ff 51 03 07 a1 20 " + " ".join("01 90 %02x 40 01 80 %02x 00" % (k % 64, k % 64)
                                             for k in range(1000))
    for sig, args, notes, count in ((signal.SIGTSTP, [], paced, 30), (signal.SIGSTOP, [], paced,
                                    30), (signal.SIGTSTP, ["-t", "0"], burst, 1000)):
        name = "%s %s" % (sig.name, args and "in a burst" or "in a rest")
        p = start(args + ["-o", N, write(smf(0, 96, notes))], sp.DEVNULL)
        until(lambda: len(SYNTH.msgs) >= 9)
        p.send_signal(sig)
        asked = time.monotonic()
        until(lambda: open("/proc/%d/stat" % p.pid).read().split()[2] == "T", 1)
        took = time.monotonic() - asked
        time.sleep(0.3)
        stopped = len(SYNTH.msgs)
        time.sleep(0.7)
        resumed, moved = time.monotonic(), len(SYNTH.msgs) - stopped
        p.send_signal(signal.SIGCONT)
        p.communicate(timeout=20)
        msgs = SYNTH.settle()
        on = [t for t, m in msgs if m[0] == 0x90 and m[2]]
        after = [t for t in on if t > resumed]
        silenced = (hexes(msgs[stopped - 2:stopped]), left_sounding(msgs[:stopped])) == (PEDALS_OFF, [])
        check(name, "stopped within 300 ms, quiet while stopped, silenced (Ctrl-Z), every note",
              (took < 0.3, moved, silenced, len(on)), (True, 0, sig == signal.SIGTSTP, count))
        if notes == paced:
            check(name, "no burst after resume, the song's own pace", (after[1:] != [] and
                  after[1] - resumed > 0.05,
                  all(0.1 < b - a < 0.15 for a, b in zip(after, after[1:]))), (True, True))


def restarted_writes():
    # A signal that lands while velotap waits on a full standard output loses no line: every
    # note that reached the port has its line.
    notes = " ".join("01 90 %02x 40 01 80 %02x 00" % (k % 128, k % 128) for k in range(3000))
    p = start(["-v", "-f", "100000000", "-o", N, write(smf(0, 96, notes))])
    time.sleep(2)  # the pipe is full long before the file's end
    p.send_signal(signal.SIGINT)
    time.sleep(0.5)  # the signal lands while the pipe is still full
    lines = p.communicate(timeout=20)[0].count("] Note O")
    sent = [m for _, m in SYNTH.settle() if m[0] == 0x80 or m[0] == 0x90 and m[2]]
    check("restarted writes", "note lines, notes sent, stopped early",
          (lines, len(sent) < 6000), (len(sent), True))


def jackd(name):
    # A private JACK server, for velotap and for what the tests start from here on.
    server = sp.Popen(["jackd", "-n", name, "-S", "--no-realtime", "-d", "dummy", "-r", "48000",
                       "-p", "256"], stdout=sp.DEVNULL, stderr=sp.DEVNULL)
    atexit.register(server.terminate)  # also when the runner itself fails
    os.environ["JACK_DEFAULT_SERVER"] = name
    until(lambda: not sp.run(["jack_lsp"], capture_output=True).returncode)
    return server


def service():
    # No MIDI system at all; a MIDI service that stalls or dies under velotap.
    for args in ([write(smf(0, 96, ""))], ["-l"], ["-c"]):
        p = start(args, env={"JACK_DEFAULT_SERVER": "velotap-none"})
        check("no MIDI system: " + args[0], "status, stdout, first line of stderr", (
            p.wait(30), p.stdout.read(), p.stderr.readline()), (1, "", "velotap: no MIDI system:"
            " no ALSA sequencer (/dev/snd/seq) and no JACK server running\n"))
    SERVER.send_signal(signal.SIGSTOP)
    p = start(["-l"])
    time.sleep(0.5)
    p.send_signal(signal.SIGINT)
    until(lambda: p.poll() is not None, 2)
    check("ctrl-c on a stalled server", "status", p.poll(), -signal.SIGINT)
    p.kill(), SERVER.send_signal(signal.SIGCONT)
    # Stopped for 3 s while the library waits on a stalled server: not a server that died.
    notes = "60 b0 07 64" + " 00 90 3c 40 00 80 3c 00" * 3000
    p = start(["-o", N, write(smf(0, 96, notes))], sp.DEVNULL)
    until(lambda: len(SYNTH.msgs) > 100)
    SERVER.send_signal(signal.SIGSTOP)
    time.sleep(2)  # long enough to fill the library's queue and wait on it for a while
    p.send_signal(signal.SIGSTOP), time.sleep(3), SERVER.send_signal(signal.SIGCONT)
    p.send_signal(signal.SIGCONT), time.sleep(0.5), p.send_signal(signal.SIGINT)
    check("stopped while the server stalls", "status, stderr", (p.wait(10), p.stderr.read()),
          (0, ""))
    SYNTH.settle()
    # A JACK server killed under velotap, which is then interrupted: noticed once the library's
    # queue to the server is full (2340 messages), as in a dense song; a sparse one plays on.
    for song, ends in (("00 90 3c 40 00 80 3c 00 " * 5000, (1, 1)), ("00 90 3c 40 60 80 3c 00 "
                                                                   * 100, (0, 0))):
        server = jackd("velotap-dead")
        p = start([write(smf(0, 96, song))], sp.DEVNULL)
        time.sleep(0.5)
        server.kill()
        killed = time.monotonic()
        time.sleep(2.5)  # a dense song has filled the queue by then, even on a busy machine
        p.send_signal(signal.SIGINT)
        until(lambda: p.poll() is not None, 3) or p.kill()
        check("server killed", "status, within 5 s, line", (p.wait(), time.monotonic() - killed < 5,
              p.stderr.read().count("velotap: the MIDI output stopped responding\n")),
              (ends[0], True, ends[1]))
        server.wait()
    os.environ["JACK_DEFAULT_SERVER"] = MAIN


def announce():  # on a terminal velotap names its virtual port, on standard error
    out = sp.run(["script", "-qec", VELOTAP + " " + write(smf(0, 96, "")),
                  "/dev/null"], capture_output=True, text=True, timeout=30).stdout
    check("announce on a terminal", "line", re.findall(r"velotap: playing to (.*)", out)[:1],
          ['"RtMidi Output Client:Vorn Filter Output"; connect a synthesizer to it'])


def corpus():
    # The fuzzer's seeds and the peer collection of odd files (beside the project, in ../shared,
    # which CI always has): each plays through with nothing left sounding.
    peer = glob.glob(HERE + "/../../shared/corpus/peer/*.mid")
    if not peer:
        print("SKIPPED: the peer corpus, ../shared/corpus/peer, is not there")
        check("peer corpus", "found (CI must have it)", False, os.environ.get("CI") != "true")
    for f in glob.glob(HERE + "/fuzz/corpus/*") + peer:
        p = start(["-v", "-f", "100000000", "-o", N, f], sp.DEVNULL)
        check("corpus " + os.path.basename(f), "status, stderr, left sounding", (p.wait(120),
              p.stderr.read(), left_sounding(SYNTH.settle(0.1))), (0, "", []))


def clear_to_aseqdump():
    # aseqdump, a slow receiver, gets every message of clear-notes, in order, run after run.
    runs, log = int(OPTS.get("--clears", 3)), os.path.join(TMP, "aseqdump.txt")
    dump = sp.Popen(["aseqdump"], stdout=open(log, "w"))
    until(lambda: port_number("aseqdump:") != "0")
    port = port_number("aseqdump:")
    for _ in range(runs):
        sp.run([VELOTAP, "-c", "-o", port], capture_output=True)
    time.sleep(1)
    dump.terminate(), dump.wait()
    got = re.findall(r"(?:Note \w+ +|Control change +)(\d+), \w+ (\d+)", open(log).read())
    want = [(str(int(m[1], 16)), str(int(m[3:5], 16))) for m in CLEAR] * runs
    check("clear-notes to aseqdump", "%d runs: messages, in order" % runs,
          (len(got), got == want), (len(want), True))


# By ear: FluidSynth, set up by its shell commands (an organ: "prog 0 19"), plays what velotap
# sends and writes its sound to a file. A figure of the levels (dBFS per 10 ms from velotap's
# start; t: the signal's time or, without one, the first note's onset) must stay below the
# row's limit. A row where nothing is heard fails, so a wrong port cannot pass in silence.
Heard = collections.namedtuple("Heard", "name file figure limit commands signal",
                               defaults=((), None))  # the signal is sent 1.5 s in


def kept(lv, t):  # the synth's organ, not the file's piano: a 5 s note does not decay
    return abs(ear.at(lv, t + 3) - ear.at(lv, t + 0.5))


def late(lv, t):  # four notes, one every 250 ms: the worst onset error, in seconds
    r = ear.rises(lv, -50)
    return max(abs(s - r[0] - k / 4) for k, s in enumerate(r)) if len(r) == 4 else 9


def rise(lv, t):  # after the first note's attack, the most the sound grows in 100 ms
    first = ear.rises(lv, -60)[0] + 0.2
    return max([b - a for (s, a), (_, b) in zip(lv, lv[10:]) if s > first and b > -80] + [0])


def ringing(lv, t):  # the loudest a second after t
    return max(db for s, db in lv if s >= t + 1)


ORGANS = ["prog 0 19", "prog 2 19"]
HELD = "00 b0 40 7f 00 b2 40 7f 00 90 3c 60 00 92 43 60 60 80 3c 00 00 82 43 00 00 90 40 60"
HEARD = [
    Heard("the synth keeps its own sound: a program change is not sent (dB)",
          smf(0, 96, "00 c0 00 00 90 3c 60 87 40 80 3c 00"), kept, 3, ["prog 0 19"]),
    Heard("notes sound when they are due (s)", smf(0, 96, "00 90 3c 60 0c 80 3c 00 24 90 40 60"
          " 0c 80 40 00 24 90 43 60 0c 80 43 00 24 90 48 60 0c 80 48 00"), late,
          0.05 if SYSTEM == "jack" else 0.1),  # timing in the emulated CPU is rough
    Heard("Ctrl-C strikes no chord the song had not reached (dB)",
          smf(0, 96, "00 90 3c 40 83 60 90 40 7f 00 90 43 7f 00 90 48 7f"), rise, 3,
          signal=signal.SIGINT),
    Heard("nothing rings after the end, pedals held on channels 1 and 3 (dBFS)",
          smf(0, 96, HELD), lambda lv, t: ringing(lv, t + 0.5), -80, ORGANS),
] + [Heard("nothing rings after %s, pedals held on channels 1 and 3 (dBFS)" % sig.name,
           smf(0, 96, HELD + " 83 e1 00 80 40 00"), ringing, -80, ORGANS, sig)
     for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGTSTP)]


def by_ear():
    for row in HEARD:
        synth = ear.Synth(SYSTEM, TMP, row.commands)
        until(lambda: port_number(synth.name) != "0")
        args, mark = ["-o", port_number(synth.name), write(row.file)], synth.mark()
        p = start(args, sp.DEVNULL)
        if row.signal:
            time.sleep(1.5)
            p.send_signal(row.signal)
            t = time.monotonic() - mark[0]
        else:
            until(lambda: p.poll() is not None, 30)
        time.sleep(1.5)  # after Ctrl-Z, velotap is still stopped
        lv = synth.levels(mark, 0.01)
        p.send_signal(signal.SIGCONT), p.terminate()
        p.communicate(), synth.stop()
        heard = max(db for _, db in lv) > -60
        got = row.figure(lv, t if row.signal else ear.rises(lv, -60)[0]) if heard else 99
        check(row.name, "heard; figure %.3f below %s" % (got, row.limit), got < row.limit, True)


MAIN = "velotap-e2e-%d" % os.getpid()
SERVER = jackd(MAIN) if SYSTEM == "jack" else None
SYNTH, OTHER = Receiver(), Receiver("other")  # two ports: the list's numbering shows
N = port_number("synth:")
more = [decoding, suspend_and_resume, service, restarted_writes, corpus] if SERVER else [
    clear_to_aseqdump]
for step in [table, announce, by_ear] + more:
    if OPTS.get("--step", step.__name__) == step.__name__ != OPTS.get("--skip"):
        print("--", step.__name__, flush=True)
        step()
SYNTH.port.delete(), OTHER.port.delete()
print("e2e on %s: %d failed" % (SYSTEM, len(set(failures))))
sys.exit(1 if failures else 0)
