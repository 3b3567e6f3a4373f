# Random stops: short random songs, each played under a random schedule of Ctrl-Z (or SIGTTOU,
# SIGTTIN, taken as one), fg and stop signals, tight pairs (under 30 ms apart) as often as loose
# ones, and held to the rules of stopping and going on, at the port and in the process state.
# A failure names its seed; --seed N replays it.
import bisect, itertools, math, os, random, signal, threading, time
import mido, pytest
import rig

STOPS = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP}
CTRL_Z = {signal.SIGTSTP, signal.SIGTTOU, signal.SIGTTIN}
FG = {signal.SIGCONT}
SIGNALS = [signal.SIGTSTP] * 2 + sorted(CTRL_Z) + [signal.SIGCONT] * 4 + sorted(STOPS)
IN_FLIGHT = 0.02  # a message on its way: a JACK cycle and the scheduling around it
# After a stop, for what left before it: servers sharing two cores run cycles late at times, and
# a late cycle delivers all that waited for it at once.
STOP_SLACK = 0.1


def random_song(rng):
    # Format 0 or 1, each channel's notes and pedals in one track, so that no merge can reorder
    # them, each note on told apart by note and velocity; tempo changes; 1600 texts at the start
    # (90 KB with -v), then a rest in which velotap prints them. In a burst about 2000 messages.
    # Gives the song, its note ons as (channel, note, velocity), and whether it is a burst.
    song, burst = mido.MidiFile(type=rng.choice((0, 1)), ticks_per_beat=96), rng.random() < 0.25
    tempos = [mido.MetaMessage("set_tempo", tempo=rng.choice((3, 5, 8)) * 100000, time=tick)
              for tick in [0] + rng.sample(range(384), 3)]
    texts = [mido.MetaMessage("text", text="%05d" % k + "." * 45) for k in range(1600)]
    tracks, notes = [tempos + texts], set()
    for channel in rng.sample(range(16), rng.randint(2, 4)):
        tick, track = 96, []  # times in ticks from the start, for now
        for k in range(rng.randint(200, 250) if burst else rng.randint(12, 30)):
            if rng.random() < 0.3:
                track.append(mido.Message("control_change", channel=channel, control=64,
                                          value=rng.choice((0, 64, 127)), time=tick))
            note = (channel, 30 + k % 60, 1 + k // 60)
            notes.add(note)
            track.append(mido.Message("note_on", channel=channel, note=note[1], velocity=note[2],
                                      time=tick))
            off = rng.choice(("note_on", "note_off"))  # at velocity 0
            track.append(mido.Message(off, channel=channel, note=note[1], velocity=0,
                                      time=tick + rng.choice((6, 24, 60))))
            tick += rng.choice((0, 24, 48, 96))
        tracks.append(track)
    for track in [sum(tracks, [])] if song.type == 0 else tracks:
        track.sort(key=lambda m: m.time)
        ticks = [0] + [m.time for m in track]
        song.tracks.append([m.copy(time=m.time - before) for before, m in zip(ticks, track)])
    return song, notes, burst


def sample(pid, samples):  # the process state, every 2 ms, until it ends (Z, or X once reaped)
    while not samples or samples[-1][1] not in "ZX":
        samples.append((time.monotonic(), rig.state(pid)))
        time.sleep(0.002)


def read(fd, slowly):  # velotap's standard output: 4 KB every 20 ms, or as it comes
    while os.read(fd, 4096 if slowly else 1 << 16):
        time.sleep(0.02 if slowly else 0)


def silencing(m):  # a note off, a note on at velocity 0, or a sustain pedal released
    kind = m[0] & 0xF0
    return kind == 0x80 or kind == 0x90 and m[2] == 0 or kind == 0xB0 and m[1] == 64 > m[2]


class Run:
    # What one run gave: the signals sent, the process states sampled and the messages that
    # arrived, each with its time; the song's note ons; the exit status and standard error.
    def __init__(self, **what):
        self.__dict__.update(what)
        self.stop = min(self.sent_at(STOPS) or [math.inf])
        self.stopped_at_stop = self.state(self.stop) == "T"

    def sent_at(self, kinds, after=0, until=math.inf):  # when these signals were sent
        return [t for t, sig in self.sent if sig in kinds and after < t <= until]

    def state(self, t):  # the process state sampled at or after t
        return self.samples[min(bisect.bisect(self.samples, (t,)), len(self.samples) - 1)][1]

    def ran(self, after, until=math.inf):  # how long velotap was not stopped in that time
        pairs = zip(self.samples, self.samples[1:])
        return sum(v - u for (u, s), (v, _) in pairs if after < u <= until and s != "T")

    def when(self, t, m=()):  # a time from the first message, and a message
        return "%.3f %s" % (t - self.first, " ".join("%02x" % b for b in m))


# The rules: each yields how a run broke it.
def only_silencing_leaves_after_a_stop_signal(run):
    slack = 0 if run.stopped_at_stop else STOP_SLACK  # stopped: nothing was on its way
    for t, m in run.msgs:
        if t > run.stop and run.ran(run.stop, t) > slack and not silencing(m):
            yield "sent at %s" % run.when(t, m)


def velotap_ends_within_1_s_of_running_after_a_stop_signal(run):
    if run.ran(run.stop) > 1:
        yield "it ran %.2f s" % run.ran(run.stop)


def velotap_is_never_left_stopped_after_a_stop_signal(run):
    # From the stop on; from the fg after it where the stop came while velotap was stopped.
    going = min(run.sent_at(FG, run.stop) or [math.inf]) if run.stopped_at_stop else run.stop
    for u, state in run.samples:
        if u > going + 0.3 and state == "T" and not run.sent_at(CTRL_Z, run.stop, u):
            yield "stopped at %s" % run.when(u)
            return


def ctrl_z_stops_velotap_within_300_ms_with_nothing_sounding(run):
    for t in run.sent_at(CTRL_Z, 0, run.stop):  # a Ctrl-Z after a stop is not honoured
        if run.sent_at(STOPS | FG, t, t + 0.3) or run.state(t) in "ZX":  # cancelled, or ended
            continue
        u, state = next((u, s) for u, s in run.samples if u >= t and s in "TZX")
        sounding = rig.left_sounding([(v, m) for v, m in run.msgs if v <= u])
        if u > t + 0.3:
            yield "Ctrl-Z at %s: not stopped 300 ms later" % run.when(t)
        elif state == "T" and sounding:
            yield "Ctrl-Z at %s: stopped with %s sounding" % (run.when(t), sounding)


def nothing_is_sent_while_velotap_is_stopped(run):
    for t, m in run.msgs:
        if run.state(t - IN_FLIGHT) == run.state(t) == "T":
            yield "sent at %s" % run.when(t, m)


def fg_resumes_velotap_within_half_a_second(run):
    for t in run.sent_at(FG):
        if not run.sent_at(CTRL_Z, t, t + 0.5) and run.state(t + 0.5) == "T":
            yield "still stopped 0.5 s after the fg at %s" % run.when(t)


def each_note_is_played_once_and_all_of_them_when_no_stop_came(run):
    played = [(m[0] & 15, m[1], m[2]) for _, m in run.msgs if m[0] & 0xF0 == 0x90 and m[2]]
    if len(set(played)) < len(played):
        yield "%d notes played, %d of them distinct" % (len(played), len(set(played)))
    if run.stop == math.inf and set(played) != run.notes:
        yield "%d of the song's %d notes played" % (len(set(played) & run.notes), len(run.notes))


RULES = [only_silencing_leaves_after_a_stop_signal,
         velotap_ends_within_1_s_of_running_after_a_stop_signal,
         velotap_is_never_left_stopped_after_a_stop_signal,
         ctrl_z_stops_velotap_within_300_ms_with_nothing_sounding,
         nothing_is_sent_while_velotap_is_stopped, fg_resumes_velotap_within_half_a_second,
         each_note_is_played_once_and_all_of_them_when_no_stop_came]


@pytest.mark.jack
@pytest.mark.seeds(50)
def test_random_stops(seed, synth, tmp_path):
    rng, path = random.Random(seed), tmp_path / "song.mid"
    song, notes, burst = random_song(rng)
    song.save(path)
    scale = 0 if burst else rng.choice((0.5, 1, 1.5))
    verbose = ["-v"] if rng.random() < 0.7 else []
    args = ["-t", str(scale), "-o", synth.number] + verbose + [str(path)]
    reading = rng.choice(("at once", "slowly", "late"))  # late: once the schedule is over
    gaps = [rng.uniform(0, 0.03) if rng.random() < 0.5 else rng.uniform(0.03, 1) for _ in range(7)]
    signals = [rng.choice(SIGNALS) for _ in range(rng.randint(1, 6))] + [signal.SIGCONT]
    # Without the leak check, which makes a sanitizer build's exit slower than the 1 s allowed.
    p = rig.start(args, text=False, errors=None,
                  env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
    samples, sent = [], []
    sampler = threading.Thread(target=sample, args=(p.pid, samples))
    sampler.start()
    reader = threading.Thread(target=read, args=(p.stdout.fileno(), reading == "slowly"))
    if reading != "late":
        reader.start()
    first = synth.msgs[0][0] if rig.until(lambda: synth.msgs) else time.monotonic()
    for delay, sig in zip(itertools.accumulate(gaps), signals):
        time.sleep(max(0, first + delay - time.monotonic()))
        p.send_signal(sig)
        sent.append((time.monotonic(), sig))
    if reading == "late":
        reader.start()
    if not rig.until(lambda: p.poll() is not None, 30):
        p.kill()
    reader.join()
    sampler.join()
    run = Run(sent=sent, samples=samples, msgs=synth.settle(0.1), notes=notes, first=first,
              status=p.wait(), stderr=p.stderr.read().decode())
    broken = ["%s: %s" % (rule.__name__, how) for rule in RULES for how in rule(run)]
    schedule = ", ".join("%s %s" % (run.when(t), sig.name) for t, sig in sent)
    assert not broken, "%s, reading %s; schedule: %s" % (" ".join(args[:-3]), reading, schedule)
    assert (run.status, run.stderr, rig.left_sounding(run.msgs)) == (0, "", []), "at the end"
