# Readers that do not keep up, or that velotap's Ctrl-Z interrupts: the song must not wait for
# them, and what they are owed must arrive whole, in order, or be counted as dropped.
import os, re, signal, subprocess as sp, threading, time
import pytest
import oracle, rig
from rig import smf

# 400,000 markers (19 MB of text, more than the 16 MiB velotap keeps for a reader), half a second
# for velotap to print them, then 17 notes 62.5 ms apart.
MARKERS = " ".join("00 ff 06 28 " + ("%040d" % k).encode().hex() for k in range(400000))
SONG = smf(0, 96, MARKERS + " 60 90 3c 40 " + " ".join("0c 90 %02x 40" % k for k in range(40, 56)))
LINES = oracle.expect(SONG, [])[0]
pytestmark = pytest.mark.jack
DROPPED = "velotap: %s lines of standard output were dropped: they were not read in time\n"


def play(synth, tmp_path, **popen):  # velotap playing SONG to our port
    song = tmp_path / "song.mid"
    song.write_bytes(SONG)
    return rig.start(["-o", synth.number, str(song)], text=False, errors=None, **popen)


def notes_keep_their_time(synth):  # however long the reader waits
    assert rig.until(lambda: synth.heard([0xB1, 0x40, 0]))
    ons = [t for t, m in synth.settle() if m[0] == 0x90 and m[2]]
    assert len(ons) == 17
    gaps = [b - a for a, b in zip(ons, ons[1:])]
    late = ["%.0f ms" % (1000 * gap) for gap in gaps if abs(gap - 0.0625) > 0.04]
    assert late == [], "the notes came 62.5 ms apart, within 40 ms"


def test_a_paused_reader_holds_up_neither_the_song_nor_a_line_beyond_16_mib(synth, tmp_path):
    p = play(synth, tmp_path, stderr=sp.STDOUT)  # one pipe for both outputs, read after the song
    notes_keep_their_time(synth)
    text = p.communicate(timeout=60)[0].decode()
    assert len(text) < (16 << 20) + (1 << 18)
    got = oracle.printed(text)[:-1]
    kept = len(got) - 1  # the last line says how many were dropped
    assert got[:kept] == LINES[:kept]
    assert got[kept] + "\n" == DROPPED % (len(LINES) - 1 - kept)


def test_sigterm_ends_velotap_behind_a_paused_reader_and_the_drop_is_told(synth, tmp_path):
    # Standard error goes elsewhere: it never waits behind the standard output nobody reads.
    err = tmp_path / "err"
    p = play(synth, tmp_path, stderr=err.open("w"))
    notes_keep_their_time(synth)
    assert rig.until(lambda: err.read_text(), 2), "the drop was told as the song ended"
    os.read(p.stdout.fileno(), 4096)  # a page read: the pipe takes one more write
    time.sleep(0.2)
    p.send_signal(signal.SIGTERM)
    assert rig.until(lambda: p.poll() is not None, 1), "velotap ended within 1 s"
    assert re.fullmatch(DROPPED % r"\d+", err.read_text())


def test_a_reader_that_reads_loses_no_line_to_ctrl_z_and_fg(synth, tmp_path):
    # Ctrl-Z as the markers begin: the player prints them all before it stops.
    p, chunks = play(synth, tmp_path, stderr=sp.PIPE), []
    read = lambda: os.read(p.stdout.fileno(), 1 << 20)
    reader = threading.Thread(target=lambda: chunks.extend(iter(read, b"")))
    reader.start()
    rig.until(lambda: any(b"MARKER:" in chunk for chunk in chunks))
    p.send_signal(signal.SIGTSTP)
    assert rig.until(lambda: rig.state(p.pid) == "T"), "stopped"
    p.send_signal(signal.SIGCONT)
    reader.join(60)
    assert p.stderr.read() == b""
    assert oracle.printed(b"".join(chunks).decode()) == LINES
    assert p.wait() == 0
