# What velotap must print and send for a MIDI file, from a reading of the file made here with
# mido's own decoders; and random files that reach every corner of the reader (tests/e2e.py).
import io, struct
import mido
from mido.midifiles.meta import KeySignatureError, build_meta_message, encode_variable_int
from mido.midifiles.midifiles import read_byte, read_bytes, read_message, read_variable_int

TEXTS = {1: "TEXT:", 2: "COPYRIGHT:", 3: "TRACK NAME:", 4: "INSTRUMENT NAME:", 5: "LYRIC:",
         6: "MARKER:", 7: "CUE POINT:", 9: "DEVICE NAME:"}
FIXED = {0x00: 2, 0x21: 1, 0x2F: 0, 0x51: 3, 0x58: 4, 0x59: 2}  # data bytes velotap reads
LABELS = {8: "Note Off", 9: "Note On", 10: "Aftertouch", 11: "CC", 12: "Program", 13: "Pressure",
          14: "Pitchbend"}
f32 = lambda x: struct.unpack("f", struct.pack("f", x))[0]  # velotap's -t is a float
signed = lambda byte: byte - 256 * (byte > 127)


class Unreadable(Exception):
    # A file that mido does not read, or that velotap reads in a way not followed here. Among
    # them, an event that runs past the end of its track: mido raises, and velotap (a mend)
    # ends the track there, printing what of a text or sysex length lies inside it.
    pass


def printed(stdout):  # velotap's standard output as lines, but the port's line
    return [l for l in stdout.split("\n") if not l.startswith("  Output Port #")]


def expect(data, args):
    # velotap's standard output (as printed() gives it) and the messages at its port, each as
    # "st d1 d2", when it plays the file data with these options (-v, -t, -f; -o is not read).
    try:
        return reading(data, "-v" in args, f32(float(dict(zip(args, args[1:])).get("-t", 1))),
                       "-f" in args)
    except (EOFError, OSError, IndexError, KeyError, ValueError, KeySignatureError,
            struct.error) as e:
        raise Unreadable(repr(e)) from e


def reading(data, verbose, scale, fixed):
    out, tracks, fmt, pos = ["Playing midi file ... quit with Ctrl-C."], [], 0, 0
    while pos + 8 <= len(data):
        kind, length = struct.unpack(">4sI", data[pos:pos + 8])
        name = kind.split(b"\0")[0].decode("utf-8", "replace")
        out += ["%s (%08x) %d (%08x)" % (name, int.from_bytes(kind, "big"), length, length)
                ] * verbose
        if kind == b"MTrk":
            body = data[pos + 8:pos + 8 + length]
            out += ["Got midi track"] * verbose
            tracks.append(track(body, len(tracks) + 1, scale, fixed))
            if len(body) < length:
                break  # the file ends inside the track: loading stops
        elif kind == b"MThd":  # six bytes, whatever length it declares; the next chunk follows
            fmt, count, division = struct.unpack(">hhh", data[pos + 8:pos + 14])
            out += ["Got midi header"] * verbose + ["format%d, tracks %d, division %d" % (
                fmt, count, division)]
            length = 6
        else:
            out.append("Got unpexpected header")
        pos += 8 + length
    # Formats 0 and 2: one track after another. (Mends that move time only, never the order or
    # a line: a tempo change takes effect at its own tick; SMPTE divisions are followed.)
    order = [e for t in tracks for e in t] if fmt in (0, 2) else []
    if fmt == 1:  # merged by time: the opening events, then one event per due track per pass
        order = [e for t in tracks for e in t if e[1]]
        queues, now = [[e for e in t if not e[1]] for t in tracks], 0
        while any(queues):
            now = max(now, min(q[0][0] for q in queues if q))
            order += [q.pop(0) for q in queues if q and q[0][0] <= now]
    # An undecodable event stops the song. Mend: at once, nothing after it in any track, also
    # none of the other tracks' opening events, so that nothing the song never reached sounds.
    order = order[:next((k + 1 for k, e in enumerate(order) if e[5]), len(order))]
    out += [e[2] for e in order if e[2] is not None and (verbose or e[3])]
    sent, sounding, pedal = [e[4] for e in order if e[4]], set(), {}
    for st, d1, d2 in sent:
        if st >> 4 == 11 and d1 == 64:
            pedal[st & 15] = d2
        elif st >> 4 in (8, 9):
            (sounding.add if st >> 4 == 9 and d2 else sounding.discard)((d1, st & 15))
    # The sweep: each note left sounding, by note then channel; the sustain pedal released on
    # channels 1 and 2, and (a mend: no note rings on under it) on every other channel the song
    # left it down (64 or more).
    sent += [(0x90 + c, n, 0) for n, c in sorted(sounding)]
    sent += [(0xB0 + c, 64, 0) for c in range(16) if c < 2 or pedal.get(c, 0) >= 64]
    return "\n".join(out + [""]).split("\n"), ["%02x %02x %02x" % m for m in sent]


def track(body, number, scale, fixed):
    # The events of one track up to its end: (tick, opening, line, always printed, message sent,
    # stops the song). Opening events, each after a delta of the single byte 0 from the track's
    # start on, are performed before any wait. Running status outlives meta and sysex events.
    f, status, tick, opening, events = io.BytesIO(body), 0, 0, True, []
    while f.tell() < len(body):
        opening = opening and body[f.tell()] == 0
        delta = read_variable_int(f) & 0xFFFFFFFF  # of a longer quantity, the low 32 bits
        delta -= delta >> 31 << 32  # signed: a negative one is not added to the time
        tick += max(delta, 0)
        first = read_byte(f)
        add = lambda line, always=False, msg=None, stop=False: events.append(
            (tick, opening, line, always, msg, stop))
        if first == 0xFF:
            kind, length = read_byte(f), read_variable_int(f)
            meta = build_meta_message(kind, read_bytes(f, length))
            if FIXED.get(kind, length) != length:
                raise Unreadable("meta %02x of length %d" % (kind, length))
            if kind in TEXTS:  # cut at 256 bytes and at a NUL
                text = getattr(meta, "text", getattr(meta, "name", "")).encode("latin1")
                add(TEXTS[kind] + text[:256].split(b"\0")[0].decode("utf-8", "replace"),
                    kind in (2, 3, 6))
            elif kind == 0x00:
                add("SEQ: ss1=%d ss2=%d" % divmod(meta.number, 256))
            elif kind == 0x21:
                add("PORT: port=%d" % signed(meta.port), True)
            elif kind == 0x2F:
                add("END OF TRACK #%d ticks=%d" % (number, tick), True)
                return events
            elif kind == 0x51:
                tempo = meta.tempo if scale == 1 else int(f32(scale * meta.tempo))
                bpm = int(60000000 / tempo) if tempo else 0  # mend: 0 bpm, not a crash
                add("TEMPO (track %d) %d us per quarter note, %d bpm, ticks=%d %s" % (
                    number, tempo, bpm, tick, " IGNORED " * fixed), True)
            elif kind == 0x58:  # mend: a denominator beyond an int's range is shown as 0
                add("TIME SIG: %d/%d %d clocks-per-tick, %d 1/32 notes per quarter note" % (
                    meta.numerator, meta.denominator * (meta.denominator < 2**31),
                    meta.clocks_per_click, meta.notated_32nd_notes_per_beat))
            elif kind == 0x59:
                add("KEY SIG: sf=%d mi=%d" % (signed(meta.bytes()[-2]), meta.bytes()[-1]))
            else:  # channel prefix, SMPTE offset and sequencer data: performed, never printed
                add(None if kind in (0x20, 0x54, 0x7F) else "[%d] Unknown Meta %02xH %d" % (
                    delta, kind, kind), True)
        elif first in (0xF0, 0xF7):
            add("Sysex len=%d" % len(read_bytes(f, read_variable_int(f))))
        else:
            st, status = (first, first) if first & 0x80 else (status, status)
            if not 0x80 <= st < 0xF0:  # its two data bytes are read before it stops the song
                read_bytes(f, 1 + (first >> 7))
                add("Unexpected event: %02xH" % st, True, stop=True)
                return events
            b = read_message(f, st, [] if first & 0x80 else [first], delta).bytes()
            line = "[%d] %s %d %s" % (delta, LABELS[st >> 4], st & 15, " ".join(map(str, b[1:])))
            add(line + " " * (st >> 4 == 8) + (" [%s]" % " ".join("%02x" % x for x in b)) * (
                st >> 4 != 13), msg=tuple(b) if st >> 4 in (8, 9, 11) else None)
    return events


def random_song(rng):
    # A short file and the options to play it with (-v or not; -t or -f): format 0, 1 or 2, one
    # to four tracks, in ticks per quarter note or SMPTE time code (24, 25, 29.97 or 30 frames a
    # second; 31 is none: no waits), unknown chunks before tracks, at times an undecodable event.
    count, smpte = rng.randint(1, 4), -rng.choice((24, 25, 29, 30, 31)) << 8 | rng.randint(50, 255)
    data = b"MThd" + struct.pack(">Ihhh", 6, rng.randrange(3), rng.randrange(6),
                                 rng.choice((0, 96, 480, smpte)))
    bad = rng.randrange(3 * count)
    for k in range(count):
        junk = rng.randbytes(rng.randrange(30))
        data += (rng.choice((b"XFIL", b"mtrk", b"MT\0k", b"\xe9t\xe9!")) + struct.pack(
            ">I", len(junk)) + junk) * (rng.random() < 0.3)
        body = random_track(rng, k == 0, k == bad)
        data += b"MTrk" + struct.pack(">I", len(body)) + body
    scale, bpm = rng.choice(("0", "0.001", "0.009", "-0.5")), rng.choice(("60000", "6000000"))
    return data, ["-v"] * (rng.random() < 0.8) + rng.choice((["-t", scale], ["-f", bpm]))


def random_track(rng, first, bad):
    # A tempo first in the first track, so that -t scales the whole song; random events with
    # running status wherever the last channel status allows, across meta and sysex events too;
    # mostly an end of track; an undecodable status, or a data byte before any status.
    events, status = [mido.MetaMessage("set_tempo", tempo=500000).bytes()] * first, 0
    for _ in range(rng.randint(3, 25)):
        events.append(random_event(rng, status))
        status = events[-1][0] if 0x80 <= events[-1][0] < 0xF0 else status
    if bad:  # at the start (before other tracks' opening events, in format 1) or anywhere
        at = rng.choice((0, rng.randrange(len(events) + 1)))
        undecodable = [rng.choice([b for b in range(0xF1, 0xFF) if b != 0xF7]), 1, 2]
        events.insert(at, [0x3C, 0x40] if at == 0 and rng.random() < 0.4 else undecodable)
    body, status = b"", 0
    for k, e in enumerate(events + [[0xFF, 0x2F, 0]] * (rng.random() < 0.8)):
        # Mostly 0 at the start (events that open the track), at times written in a byte more
        delta = 0 if k < 4 and rng.random() < 0.7 else rng.choice((0, 0, 0, 1, 3, 12))
        body += b"\x80" * (rng.random() < 0.15) + bytes(encode_variable_int(delta))
        body += bytes(e[1:] if e[0] == status and rng.random() < 0.7 else e)
        status = e[0] if 0x80 <= e[0] < 0xF0 else status
    return body


def random_event(rng, status):
    # Every channel message kind, often of the last status; F0 and F7 sysex; every meta type
    # velotap names and unknown ones, texts of 0 to 1000 bytes (some with a NUL), tempos whose
    # scaled value is whole (where float and double part); rarely an end of track before the end.
    r, kind = rng.random(), rng.choice([*range(11), 0x20, 0x21, 0x51, 0x54, 0x58, 0x59, 0x7E,
                                        0x7F, 0xFE])
    if r < 0.55:
        st = status if status and rng.random() < 0.4 else rng.choice(
            (8, 9, 9, 10, 11, 11, 12, 13, 14)) << 4 | rng.choice((0, 1, 2, rng.randrange(16)))
        d1 = 64 if st >> 4 == 11 and rng.random() < 0.5 else rng.randint(60, 62)
        return [st, d1, rng.choice((0, 1, 63, 64, 127))][:2 if st >> 4 in (12, 13) else 3]
    if r < 0.65:
        n = rng.choice((0, 3, 200))
        return rng.choice(([0xF0] + encode_variable_int(n + 1) + [7] * n + [0xF7],
                           [0xF7] + encode_variable_int(n) + [7] * n))
    if r < 0.66:
        return [0xFF, 0x2F, 0]
    if kind in (0x20, 0x54):  # mido reads only valid ones
        return mido.MetaMessage("channel_prefix" if kind == 0x20 else "smpte_offset").bytes()
    data = [rng.randrange(256) for _ in range(FIXED.get(kind, rng.randrange(6)))]
    if kind in TEXTS or kind == 0x08:
        data = [rng.randint(32, 126) for _ in range(rng.choice((0, 1, 255, 256, 257, 1000)))]
        if data and rng.random() < 0.3:
            data[rng.randrange(min(len(data), 300))] = 0
    elif kind == 0x51:
        data = list(rng.choice((500000, 480000, rng.randrange(1 << 24))).to_bytes(3, "big"))
    elif kind == 0x58:
        data[1] = rng.choice((0, 2, 3, 6, 30, 32, 40))
    elif kind == 0x59:
        data = [rng.randint(-7, 7) & 255, rng.randrange(2)]
    return [0xFF, kind] + encode_variable_int(len(data)) + data
