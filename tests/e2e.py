#!/usr/bin/python3
# The real velotap on a real MIDI system, JACK or the ALSA sequencer: one table of rows and a
# few longer steps, checking standard output and error, exit status and what reaches the port.
#     tests/e2e.py jack|alsa VELOTAP [--step NAME] [--skip NAME] [--count N] [--seed N]
import atexit, bisect, collections, difflib, gc, glob, itertools, os, random, re, signal
import subprocess as sp, sys, tempfile, threading, time
import mido, rtmidi
import oracle

SYSTEM, VELOTAP = sys.argv[1], os.path.abspath(sys.argv[2])
OPTS = dict(zip(sys.argv[3::2], sys.argv[4::2]))
API = {"jack": rtmidi.API_UNIX_JACK, "alsa": rtmidi.API_LINUX_ALSA}[SYSTEM]
TMP, HERE = tempfile.mkdtemp(prefix="velotap-e2e-"), os.path.dirname(os.path.abspath(__file__))
# The libraries' own leaks, without a word: a refused JACK client's (under load) is one of them.
os.environ["LSAN_OPTIONS"] = "print_suppressions=0:suppressions=" + HERE + "/lsan.supp"
signal.signal(signal.SIGINT, signal.SIG_DFL)  # as in a terminal, also when started in background
signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # through atexit: the servers stop
WITH_RUNNER = ["setpriv", "--pdeathsig", "TERM"]  # SIGTERM when the runner ends, even killed
PEDALS_OFF = ["b0 40 00", "b1 40 00"]  # channels 1 and 2, at every exit
CLEAR = (["9%x %02x 00" % (c, n) for n in range(128) for c in range(16)] + PEDALS_OFF +
         ["b%x 40 00" % c for c in range(2, 16)] + PEDALS_OFF)
failures = []


def smf(fmt, division, *tracks):  # a file of tracks written as hex bytes, each ended as it must
    out = b"MThd\0\0\0\6" + b"".join(v.to_bytes(2, "big", signed=True)
                                     for v in (fmt, len(tracks), division))
    for body in (bytes.fromhex(t + " 00 ff 2f 00") for t in tracks):
        out += b"MTrk" + len(body).to_bytes(4, "big") + body
    return out


def left_sounding(msgs):
    # Notes and sustain pedals still down after msgs (of 3 bytes each).
    held = {}  # (channel, note) for notes, (channel, "pedal") for the sustain pedal
    for _, (st, d1, d2) in msgs:
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


def start(args, stdout=sp.PIPE, closed=""):  # velotap, with the descriptors in `closed` closed
    return sp.Popen(["sh", "-c", 'exec "$@"' + "".join(" %s>&-" % fd for fd in closed), "sh",
                     VELOTAP] + args, stdout=stdout, stderr=sp.PIPE, text=True, errors="replace")


def outputs(p):  # velotap's standard output and error, read as they come; a hung run is killed
    try:
        return p.communicate(timeout=60)
    except sp.TimeoutExpired:
        p.kill()
        return p.communicate()


def port_numbers(*clients):  # the numbers -o takes for these clients' ports
    names = rtmidi.MidiOut(API, "port list").get_ports()
    return [str(next(k + 1 for k, n in enumerate(names) if n.startswith(c + ":"))) for c in clients]


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


def read_after_sweep(p):  # nothing read from velotap until the sweep has reached the port
    check("read after the sweep", "the sweep came", until(lambda: [0xb1, 0x40, 0] in [
        m for _, m in SYNTH.msgs]), True)
    time.sleep(0.3)


def int_in_fifo(p):  # Ctrl-C once velotap reads its file from a FIFO that a writer holds open
    os.open(FIFO, os.O_WRONLY)  # left open: the file never ends, the signal must end it
    until(lambda: int(open("/proc/%d/status" % p.pid).read().split("SigCgt:")[1].split()[0], 16)
          >> signal.SIGINT - 1 & 1)  # velotap takes SIGINT: it waits for the file
    p.send_signal(signal.SIGINT)


# A row of the table:
# - name: what a user sees break when the row fails;
# - args: velotap's arguments, where "{file}" is the row's file, "{fifo}" a FIFO and "{synth}"
#   our receiver's port;
# - file: the file (None: an empty one);
# - out: standard output, whole (a string, where "{list}" stands for the port list), or lines
#   that must come in this order (a list); None: any;
# - msgs: what reaches the port, one "st d1 d2" string a message; None: anything;
# - action: a signal, sent once two messages arrived (at the virtual port when there is no -o),
#   or a function of the process;
# - closed: the descriptors velotap starts with closed (0, 1, 2).
Row = collections.namedtuple("Row", "name args file out msgs action closed",
                             defaults=(None, None, (), None, ""))


PLAY = ["-o", "{synth}", "{file}"]
LONG = "81 00 90 3c 40 00 b2 40 40 83 e1 00 90 3e 40"  # the second note in 5 min; a pedal at 64
SWEPT = ["90 3c 40", "b2 40 40", "90 3c 00"] + PEDALS_OFF + ["b2 40 00"]  # never the 2nd note
TEXT = lambda k, n=58: "00 ff 01 %s %s" % (  # a text event of n < 16384 digits, k's
    (bytes([0x80 | n >> 7]) * (n > 127) + bytes([n & 127])).hex(), ("%0*d" % (n, k)).encode().hex())
ROWS = [
    Row("no arguments: the usage text", [], out=["Usage: velotap [options] filename"]),
    Row("-l lists the ports, whatever else is asked", ["-l", "-o", "1", "-c", "{file}"],
        out="{list}"),
    # A descriptor closed at the start (0, 1 or 2, in the row's name) changes nothing else.
    Row("-l with standard output closed ends", ["-l"], closed="1"),
    Row("clear-notes silences every note on every channel, then every pedal (standard output "
        "closed)", ["-c", "-o", "{synth}"], msgs=CLEAR, closed="1"),
    Row("a closed standard output does not stop the song", ["-v"] + PLAY,
        smf(0, 96, " ".join("00 90 %02x 40 01 80 %02x 00" % (k, k) for k in range(40, 90))),
        msgs=[m % k for k in range(40, 90) for m in ("90 %02x 40", "80 %02x 00")] + PEDALS_OFF,
        action=lambda p: p.stdout.read(300) and p.stdout.close()),
    # Stop signals, here for what is sent and in what order, on both systems; their timing is the
    # random stops', on JACK, and a stop behind a full pipe held_outputs'.
    Row("an undecodable event behind a slow reader: every line owed arrives, and why it stopped",
        ["-v"] + PLAY, smf(0, 96, "00 90 3c 40 " + " ".join(TEXT(k) for k in range(3000)) +
                           " 00 f4 00 00"), out=["TEXT:%058d" % k for k in range(3000)] + [
            "Unexpected event: f4H"], msgs=["90 3c 40", "90 3c 00"] + PEDALS_OFF,
        action=read_after_sweep, closed="0"),
    Row("SIGINT to the virtual port: nothing the song had not reached, then the sweep",
        ["{file}"], smf(0, 96, LONG), msgs=SWEPT, action=signal.SIGINT, closed="1"),
    Row("Ctrl-C while the file is awaited from a FIFO ends velotap (standard error closed)",
        ["-o", "{synth}", "{fifo}"], msgs=PEDALS_OFF, action=int_in_fifo, closed="2"),
]


def run_rows(rows):
    names = rtmidi.MidiOut(API, "port list").get_ports()  # as the MIDI system itself lists them
    listing = "\nThere are %d MIDI output ports available.\n%s\n" % (len(names), "".join(
        "  Output Port #%d: %s\n" % (k + 1, p) for k, p in enumerate(names)))
    for row in rows:
        open(CASE, "wb").write(row.file or smf(0, 96, ""))
        fill = {"{synth}": N, "{file}": CASE, "{fifo}": FIFO}
        p = start([fill.get(a, a) for a in row.args], closed=row.closed)
        virtual = row.action and "{synth}" not in row.args
        rec = Receiver("patch", "Vorn Filter") if virtual else SYNTH
        if isinstance(row.action, signal.Signals):
            until(lambda: len(rec.msgs) >= 2)
            p.send_signal(row.action)
        elif row.action:
            row.action(p)
        (stdout, stderr), got = outputs(p), rec.settle()
        if isinstance(row.out, str):
            check(row.name, "stdout", stdout, row.out.replace("{list}", listing))
        elif row.out:
            check(row.name, "stdout", [l for l in stdout.splitlines() if l in row.out], row.out)
        check(row.name, "stderr, status", (stderr, p.returncode), ("", 0))
        if row.msgs is not None:
            check(row.name, "messages", [" ".join("%02x" % b for b in m) for _, m in got],
                  list(row.msgs))
        if virtual:
            rec.port.delete()


# Random stops: short random songs, each played under a random schedule of Ctrl-Z (or SIGTTOU,
# SIGTTIN, taken as one), fg and stop signals, tight pairs (under 30 ms apart) as often as loose
# ones, and checked against the rules of stopping and going on, at the port and in the process
# state. A failing run prints its seed: --seed N replays it (and --count N the seeds after it).
STOPS = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP}
TSTP, CONT = {signal.SIGTSTP, signal.SIGTTOU, signal.SIGTTIN}, {signal.SIGCONT}  # Ctrl-Z, fg
SIGNALS = [signal.SIGTSTP] * 2 + sorted(TSTP) + [signal.SIGCONT] * 4 + sorted(STOPS)
SLACK = 0.02  # for a message in flight: a JACK cycle and the scheduling around it
# After a stop, for what left before it: eight servers on two cores run cycles late at times,
# and a late cycle delivers all that waited for it at once.
STOP_SLACK = 0.1


def random_song(rng):
    # Format 0 or 1, each channel's notes and pedals (at 0, 64 or 127) in one track, so that no
    # merge can reorder them, its note ons told apart by note and velocity; tempo changes and
    # 1600 texts at the start (90 KB with -v); in a burst about 2000 messages. Gives the song
    # and, per note on, its time in the song (s) and the song's last pedal value on its channel
    # before it.
    song, burst = mido.MidiFile(type=rng.choice((0, 1)), ticks_per_beat=96), rng.random() < 0.25
    meta = lambda kind, tick, **value: mido.MetaMessage(kind, time=tick, **value)
    tracks = [[meta("set_tempo", t, tempo=rng.choice((3, 5, 8)) * 100000)
               for t in [0] + rng.sample(range(384), 3)] +
              [meta("text", 0, text="%05d" % k + "." * 45) for k in range(1600)]]
    # Times: ticks from the start, for now. The notes begin after a rest in which velotap prints
    # the texts, so that the first leaves on time (a slow build needs some 100 ms for them).
    for c in rng.sample(range(16), rng.randint(2, 4)):
        tick, tracks = 96, tracks + [[]]
        for k in range(rng.randint(200, 250) if burst else rng.randint(12, 30)):
            note, pedal = dict(channel=c, note=30 + k % 60), rng.choice((0, 64, 127))
            tracks[-1] += [mido.Message("control_change", channel=c, control=64, value=pedal,
                                        time=tick)] * (rng.random() < 0.3) + [
                mido.Message("note_on", velocity=1 + k // 60, time=tick, **note),
                mido.Message(rng.choice(("note_on", "note_off")), velocity=0,
                             time=tick + rng.choice((6, 24, 60)), **note)]
            tick += rng.choice((0, 24, 48, 96))
    for track in [sum(tracks, [])] if song.type == 0 else tracks:
        track.sort(key=lambda m: m.time)
        song.tracks.append([m.copy(time=m.time - t) for t, m in zip(
            [0] + [m.time for m in track], track)])
    notes, pedal, now = {}, {}, 0
    for m in song:  # as played: merged, in seconds
        now += m.time
        if m.type == "control_change":
            pedal[m.channel] = m.value
        elif m.type == "note_on" and m.velocity:
            notes[m.channel, m.note, m.velocity] = now, pedal.get(m.channel, 0)
    return song, notes, burst


def sample(pid, samples):  # the process state, every 2 ms, until it ends (Z, or X once reaped)
    while not samples or samples[-1][1] not in "ZX":
        try:
            state = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0]
        except OSError:
            state = "X"
        samples.append((time.monotonic(), state))
        time.sleep(0.002)


def read_chunks(fd, out, slowly):  # what comes on fd, with its time: 4 KB every 20 ms, or at once
    while True:
        time.sleep(0.02 * slowly)
        data = os.read(fd, 4096 if slowly else 1 << 16)
        if not data:
            return
        out.append((time.monotonic(), data))


def stop_run(seed):
    rng, path = random.Random(seed), os.path.join(TMP, "stops.mid")
    song, notes, burst = random_song(rng)
    song.save(path)
    scale, args = 0 if burst else rng.choice((0.5, 1, 1.5)), ["-v"] * (rng.random() < 0.7) + [path]
    reading = rng.choice(("at once", "slowly", "late"))  # late: once the schedule is over
    gaps = (rng.uniform(0, 0.03) if rng.random() < 0.5 else rng.uniform(0.03, 1) for _ in range(7))
    sched = list(zip(itertools.accumulate(gaps), [
        rng.choice(SIGNALS) for _ in range(rng.randint(1, 6))] + [signal.SIGCONT]))
    # The lines the file's own reading gives, all of them unless a stop came: whole lines only,
    # as a stop may cut one.
    expected = oracle.expect(open(path, "rb").read(), ["-t", str(scale)] + args)[0][:-1]
    # Without the leak check, which makes a sanitizer build's exit take longer than the 1 s allowed.
    os.environ["ASAN_OPTIONS"] = "detect_leaks=0"
    p, samples, sent, out = start(["-t", str(scale), "-o", N] + args), [], [], []
    threading.Thread(target=sample, args=(p.pid, samples), daemon=True).start()
    reader = threading.Thread(target=read_chunks, args=(p.stdout.fileno(), out, reading == "slowly"))
    reading == "late" or reader.start()
    first = SYNTH.msgs[0][0] if until(lambda: SYNTH.msgs, 10) else time.monotonic()
    for delay, sig in sched:
        time.sleep(max(0, first + delay - time.monotonic()))
        os.kill(p.pid, sig)
        sent.append((time.monotonic(), sig))
    reading == "late" and reader.start()
    until(lambda: p.poll() is not None, 30) or p.kill()
    reader.join()
    text, stderr, msgs = b"".join(d for _, d in out).decode(), p.stderr.read(), SYNTH.settle(0.1)
    got = oracle.printed(text)[:-1]
    broken = rules(sent, samples, msgs, notes, scale, first) + [
        "status %s, stderr %r" % (p.returncode, stderr)] * bool(p.returncode or stderr) + [
        "standard output: %d lines of the %d the file gives" % (len(got), len(expected))] * (
        got != expected[:len(got)] or len(got) < len(expected) and not at(sent, STOPS))
    if reading == "at once":  # each note's line while the song plays, with its message
        sent_at = {tuple(m): t for t, m in msgs}
        for t, line in printed_when(out):
            m = re.match(r"\[\d+\] Note On (\d+) (\d+) ([1-9]\d*)", line)
            due = m and sent_at.get((0x90 + int(m[1]), int(m[2]), int(m[3])))
            if due and due + 0.1 < min(at(sent, TSTP | STOPS) or [1e9]) and t - due > 0.1:
                broken.append("line %r at %.3f, its message at %.3f" % (line, t - first, due - first))
    check("random stops, seed %d (replay: --seed %d)" % (seed, seed), "-t %s %s, reading %s; "
          "schedule: %s" % (scale, " ".join(args[:-1]), reading, ", ".join(
              "%.3f %s" % (t - first, s.name) for t, s in sent)), broken, [])


def printed_when(chunks):  # each whole line of (time, bytes) chunks, with the time it arrived
    text, lines = b"", []
    for t, data in chunks:
        text += data
        *whole, text = text.split(b"\n")
        lines += [(t, l.decode()) for l in whole]
    return lines


def at(sent, sigs, a=0, b=1e9):  # when these signals were sent, from a (excluded) to b
    return [t for t, s in sent if s in sigs and a < t <= b]


def rules(sent, samples, msgs, notes, scale, first):
    # The rules of stopping and going on that a run broke, each told with what broke it (times in
    # seconds from the first message).
    state = lambda t: samples[min(bisect.bisect(samples, (t,)), len(samples) - 1)][1]
    ran = lambda a: sum(v - u for (u, s), (v, _) in zip(samples, samples[1:])
                        if u > a and s != "T")  # the time not stopped from a on
    when = lambda t, m=(): "%.3f %s" % (t - first, " ".join("%02x" % b for b in m))
    stop = min(at(sent, STOPS) or [1e9])
    # A stop that came while velotap was stopped: nothing of the song's was on its way then.
    stopped = state(stop) == "T"
    going = min(at(sent, CONT, stop) or [1e9]) if stopped else stop  # from then it must end
    broken = ["after a stop signal, at " + when(t, m) for t, m in msgs  # but a silencing
              if t > stop and ran(stop) - ran(t) > (0 if stopped else STOP_SLACK) and not (
                  m[0] & 0xF0 == 0x80 or m[0] & 0xF0 == 0x90 and m[2] == 0 or
                  m[0] & 0xF0 == 0xB0 and m[1] == 64 > m[2])]
    broken += ["after a stop signal it ran %.2f s" % ran(stop)] * (ran(stop) > 1)
    broken += ["stopped at %s after a stop signal, with no Ctrl-Z since" % when(u) for u, s in
               samples if u > going + 0.3 and s == "T" and not at(sent, TSTP, stop, u)][:1]
    for t in at(sent, TSTP, 0, stop):  # a Ctrl-Z after a stop signal is not honoured
        if not at(sent, STOPS | CONT, t, t + 0.3):  # stopped within 300 ms (or ended), silenced
            u, s = next((u, s) for u, s in samples if u >= t and s == "T" or s in "ZX")
            sounding = left_sounding([(v, m) for v, m in msgs if v <= u]) if s == "T" else []
            broken += ["Ctrl-Z at %s: not stopped 300 ms later" % when(t)] * (u > t + 0.3) + [
                "Ctrl-Z at %s: stopped with %s sounding" % (when(t), sounding)] * bool(sounding)
    broken += ["sent while stopped, at " + when(t, m) for t, m in msgs
               if state(t - SLACK) == state(t) == "T"]
    broken += ["still stopped 0.5 s after SIGCONT at " + when(t) for t in at(sent, CONT)
               if not at(sent, TSTP, t, t + 0.5) and state(t + 0.5) == "T"]
    moved, since = [(0, 0)], None  # each SIGCONT moves the song on by the time since Ctrl-Z
    for t, s in sent:  # at least, as the rest of the wait is kept
        since = t if s in TSTP and since is None else since
        if s in CONT and since is not None:
            moved, since = moved + [(t, moved[-1][1] + t - since)], None
    # The song's time 0, from the note on before any Ctrl-Z that came least late for its time in
    # the song: the first message may leave a little late.
    zero = min([t - notes.get((m[0] & 15, m[1], m[2]), (0,))[0] * scale for t, m in msgs if
                m[0] & 0xF0 == 0x90 and m[2] and t < min(at(sent, TSTP) or [1e9])] or [
                    first - min(due for due, _ in notes.values()) * scale])  # the song's first
    pedal, played = {}, []
    for t, m in msgs:  # a note on comes after the song's own last pedal on its channel, and not
        if m[0] & 0xF0 == 0xB0 and m[1] == 64:  # before its time in the song, moved on as above
            pedal[m[0] & 15] = m[2]
        elif m[0] & 0xF0 == 0x90 and m[2]:
            played.append((m[0] & 15, m[1], m[2]))
            due, value = notes.get(played[-1], (0, None))
            early = zero + due * scale + max(s for u, s in moved if u < t) - t
            if pedal.get(m[0] & 15, 0) != value or early > SLACK:
                broken.append("note at %s: pedal at %s, the song's %s; %.3f s early" % (
                    when(t, m), pedal.get(m[0] & 15, 0), value, early))
    if sorted(played) != sorted(notes) and (stop == 1e9 or len(set(played)) < len(played)):
        broken.append("the song's notes, each once: %d of %d played, %d of them distinct" % (
            len(played), len(notes), len(set(played))))
    return broken + ["left sounding at the end: %s" % left_sounding(msgs)] * bool(
        left_sounding(msgs))


def random_stops():
    # The seeds asked for, here; else 50 (or --count) from a random one, spread over runners with
    # a JACK server each: on one server a stopped client holds up for seconds whatever another
    # client changes (opening, connecting, closing). Eight, each in a /dev/shm of its own, where a
    # mount namespace can be had; else four, sharing it, within the registry's eight servers.
    if "--seed" in OPTS:
        first = int(OPTS["--seed"])
        return [stop_run(seed) for seed in range(first, first + int(OPTS.get("--count", 1)))]
    count, first = int(OPTS.get("--count", 50)), random.randrange(10**6)
    private = ["unshare", "-m"] + ["-r"] * (os.geteuid() > 0) + [
        "sh", "-c", 'mount -t tmpfs none /dev/shm && exec "$@"', "sh"]
    if "VELOTAP_SHARED_SHM" in os.environ or sp.run(private + ["true"], stderr=sp.DEVNULL).returncode:
        private, n = [], 4
        print("random stops: four runners sharing /dev/shm (no private mount here)")
    else:
        n = 8
        print("random stops: eight runners, each with a /dev/shm of its own")
    # Sharing it, the runners start a second apart: a JACK server starting beside another, or
    # beside a client opening on another server, can make that fail.
    runners = [time.sleep(0 if private else 1) or sp.Popen(WITH_RUNNER + private + [
        sys.executable, __file__, SYSTEM, VELOTAP, "--step", "random_stops", "--seed",
        str(first + k * count // n), "--count", str((k + 1) * count // n - k * count // n)],
        stdout=sp.PIPE, text=True) for k in range(n)]
    for runner in runners:  # what they print, without their heading and summary
        print(*runner.communicate()[0].splitlines(True)[1:-1], sep="", end="")
        failures.extend(["random stops"] * bool(runner.returncode))


def held_outputs():
    # Readers that take nothing until the song has ended; the notes must keep their time all the
    # same, and then every line arrive whole and in order: a terminal velotap cannot open again
    # (mode 0, and a root velotap without the power to override it), and one pipe shared by
    # standard output and error, with more text than velotap keeps (16 MiB).
    # The texts, then half a second for velotap to print them, then notes 62.5 ms apart.
    notes = " 60 90 3c 40 " + " ".join("0c 90 %02x 40" % k for k in range(40, 56))
    songs = [smf(0, 96, " ".join(TEXT(k, n) for k in range(count)) + notes)
             for count, n in ((3000, 58), (68000, 250))]
    master, tty = os.openpty()
    os.fchmod(tty, 0)
    caps = ["setpriv", "--inh-caps=-dac_override,-dac_read_search",
            "--bounding-set=-dac_override,-dac_read_search"]
    caps = caps if os.geteuid() == 0 and not sp.run(caps + ["true"]).returncode else []
    for name, song, out in [("a paused terminal", songs[0], tty),
                            ("a paused pipe for both outputs", songs[1], sp.PIPE),
                            ("SIGTERM, a paused pipe for both outputs", songs[1], None)]:
        open(CASE, "wb").write(song)
        p = sp.Popen(caps + [VELOTAP, "-v", "-o", N, CASE], stdout=out or sp.PIPE,
                     stderr=sp.STDOUT)
        out == tty and os.close(tty)  # velotap's alone: its end ends the terminal
        until(lambda: [0xb1, 0x40, 0] in [m for _, m in SYNTH.msgs])
        ons = [t for t, m in SYNTH.settle() if m[0] == 0x90 and m[2]]
        check(name, "17 notes 62.5 ms apart (intervals off by more than 40 ms, in %)", [
            "%d notes" % len(ons)] + ["%.0f" % (1600 * (b - a) - 100) for a, b in zip(
                ons, ons[1:]) if abs(b - a - 0.0625) > 0.04], ["17 notes"])
        if out is None:  # a page read: the pipe takes one more write, and velotap has lines for both
            os.read(p.stdout.fileno(), 4096)
            time.sleep(0.2)
            p.send_signal(signal.SIGTERM)
            check(name, "velotap ended 1 s later", until(lambda: p.poll() is not None, 1), True)
            p.kill()
            continue
        text = read_all(master if out == tty else p.stdout.fileno())
        got, lines = oracle.printed(text.replace("\r\n", "\n"))[:-1], oracle.expect(song, ["-v"])[0]
        kept = len(got) - (got[-1].startswith("velotap: ") if got else 0)
        check(name, "the file's lines, then how many were dropped, each whole", got, lines[:kept] + [
            "velotap: %d lines of standard output were dropped: they were not read in time" % (
                len(lines) - 1 - kept)] * (kept < len(lines) - 1))
        check(name, "at most 16 MiB waited", len(text) < (16 << 20) + (1 << 18), True)
        p.wait()


def read_all(fd):  # until the end: a terminal's ends with EIO once velotap has closed it
    chunks = []
    try:
        while chunks[-1:] != [b""]:
            chunks.append(os.read(fd, 1 << 16))
    except OSError:
        pass
    return b"".join(chunks).decode(errors="replace")


def decoding():
    # Files played to our ports, eight at a time, each printing and sending what the oracle's own
    # reading of it gives (tests/oracle.py), with nothing left sounding and no error. Random
    # files: 40 on JACK, 8 in the ALSA VM (or --count), a failing one printing its seed, which
    # --seed N replays. Then the fuzzer's seeds and the peer collection of odd files (beside the
    # project, in ../shared, which CI always has and requires with VELOTAP_REQUIRE_CORPUS set),
    # largest first; where mido does not read one, only its status, errors and sweep are held.
    first = int(OPTS.get("--seed", random.randrange(10**6)))
    count = int(OPTS.get("--count", 1 if "--seed" in OPTS else 40 if SYSTEM == "jack" else 8))
    cases = [("decoding, seed %d (replay: --step decoding --seed %d)" % (s, s),
              *oracle.random_song(random.Random(s))) for s in range(first, first + count)]
    peer = glob.glob(HERE + "/../../shared/corpus/peer/*.mid")
    if "--seed" not in OPTS and not peer:
        print("SKIPPED: the peer corpus, ../shared/corpus/peer, is not there")
        check("peer corpus", "required", False, "VELOTAP_REQUIRE_CORPUS" in os.environ)
    files = [] if "--seed" in OPTS else glob.glob(HERE + "/fuzz/corpus/*") + peer
    if SYSTEM == "alsa":  # our receiver, on an emulated CPU, drops messages of longer bursts
        print("corpus on ALSA: the files of up to 2 KB, the longer ones on JACK only")
        files = [f for f in files if os.path.getsize(f) <= 2048]
    cases += [("corpus " + os.path.basename(f), open(f, "rb").read(), ["-v", "-f", "100000000"])
              for f in sorted(files, key=os.path.getsize, reverse=True)]
    receivers = [Receiver("decoding%d" % k) for k in range(8)]
    ports = port_numbers(*("decoding%d" % k for k in range(8)))
    for batch in range(0, len(cases), 8):
        runs = []
        for k, (name, data, args) in enumerate(cases[batch:batch + 8]):
            open("%s/%d.mid" % (TMP, k), "wb").write(data)
            runs.append((name, data, args, time.sleep(0.05) or start(
                args + ["-o", ports[k], "%s/%d.mid" % (TMP, k)])))
        for (name, data, args, p), r in zip(runs, receivers):
            (stdout, stderr), got = outputs(p), r.settle(0.05)  # a hung song fails, the next plays
            check(name, "velotap %s: stderr, status, left sounding" % " ".join(args),
                  (stderr, p.returncode, left_sounding(got)), ("", 0, []))
            try:
                lines, msgs = oracle.expect(data, args)
            except oracle.Unreadable as e:  # the random files are always read
                if not name.startswith("corpus"):
                    raise
                print("%s: not held to the oracle, which does not read it: %s" % (name, e))
                continue
            check(name, "stdout", oracle.printed(stdout), lines)
            check(name, "messages", [" ".join("%02x" % b for b in m) for _, m in got], msgs)
    for r in receivers:
        r.port.delete()


MAIN, FIFO, CASE = "velotap-e2e-%d" % os.getpid(), TMP + "/fifo", TMP + "/case.mid"
os.mkfifo(FIFO)
SERVER = None
if SYSTEM == "jack":
    # A private JACK server, for velotap and for what the tests start from here on. It stops
    # with the runner: at its end (waited for, which leaves JACK's registry of servers clean), on
    # SIGTERM, and when the runner is killed outright (a parent-death signal).
    SERVER = sp.Popen(WITH_RUNNER + ["jackd", "-n", MAIN, "-S", "--no-realtime", "-d", "dummy",
                      "-r", "48000", "-p", "256"], stdout=sp.DEVNULL, stderr=sp.DEVNULL)
    atexit.register(lambda: SERVER.terminate() or SERVER.wait())  # also when the runner fails
    os.environ["JACK_DEFAULT_SERVER"] = MAIN
    until(lambda: not sp.run(["jack_lsp"], capture_output=True).returncode)
SYNTH, OTHER = Receiver(), Receiver("other")  # two ports: the list's numbering shows
N = port_numbers("synth")[0]  # our port's number in the list
STEPS = dict(table=lambda: run_rows(ROWS), decoding=decoding)
if SERVER:
    STEPS.update(random_stops=random_stops, held_outputs=held_outputs)
for name, step in STEPS.items():
    if OPTS.get("--step", name) == name != OPTS.get("--skip"):
        print("--", name, flush=True)
        step()
# Every client closed while the server still runs (the port lists' clients wait for the collector).
SYNTH.port.delete(), OTHER.port.delete(), gc.collect()
print("e2e on %s: %d failed" % (SYSTEM, len(set(failures))))
sys.exit(1 if failures else 0)
