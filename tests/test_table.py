# velotap run as a user would, one row a behaviour, named after what the user sees break; each
# holds standard output, standard error and the exit status, and what reaches the port in order.
import collections, os, signal, time
import pytest
import rig
from rig import PEDALS_OFF, smf


def read_after_the_sweep(p, receiver, fifo):  # nothing read from velotap until the sweep is out
    assert rig.until(lambda: receiver.heard([0xB1, 0x40, 0]))
    time.sleep(0.3)


def suspend_and_continue(p, receiver):  # Ctrl-Z: stopped at once, nothing sent; then fg
    p.send_signal(signal.SIGTSTP)
    assert rig.until(lambda: rig.state(p.pid) == "T", 0.3), "stopped within 300 ms"
    time.sleep(0.1)  # for what was on its way: a JACK cycle or two, late on a busy machine
    arrived = len(receiver.msgs)
    time.sleep(0.3)
    assert len(receiver.msgs) == arrived, "nothing sent while stopped"
    p.send_signal(signal.SIGCONT)


def suspend_clearing(p, receiver, fifo):
    rig.until(lambda: receiver.msgs)
    suspend_and_continue(p, receiver)


def suspend_before_a_fifo_is_written(p, receiver, fifo):
    rig.until(lambda: rig.state(p.pid) == "S")  # opening the FIFO, which waits for a writer
    suspend_and_continue(p, receiver)
    with open(fifo, "wb") as writer:
        writer.write(smf(0, 96, "00 90 3c 40 60 80 3c 00"))
    assert not rig.until(lambda: rig.state(p.pid) == "T", 1), "the song was not stopped"


def interrupt_the_song(p, receiver, fifo):  # once two messages arrived
    rig.until(lambda: len(receiver.msgs) >= 2)
    p.send_signal(signal.SIGINT)


# A row: its name; velotap's arguments, where "{file}" is the row's file, "{fifo}" a FIFO and
# "{port}" our receiver's port (none: the virtual port, which a receiver of ours connects to);
# the file; lines of standard output that must come in this order; what reaches the port; what
# is done to velotap meanwhile, a function of the process, the receiver and the FIFO; the
# descriptors closed when velotap starts (0, 1, 2).
Row = collections.namedtuple("Row", "name args file out msgs action closed")
CLEAR = (["9%x %02x 00" % (c, n) for n in range(128) for c in range(16)] + PEDALS_OFF +
         ["b%x 40 00" % c for c in range(2, 16)] + PEDALS_OFF)
TEXTS_THEN_BROKEN = smf(0, 96, "00 90 3c 40 " + " ".join(
    rig.text_event(k) for k in range(3000)) + " 00 f4 00 00")
A_PEDAL_THEN_A_NOTE_IN_5_MIN = smf(0, 96, "81 00 90 3c 40 00 b2 40 40 83 e1 00 90 3e 40")
ROWS = [
    # On ALSA our receiver, on the VM's emulated CPU, drops messages of a burst this long.
    pytest.param(Row("clear-notes silences every note on every channel, then every pedal, and "
                     "Ctrl-Z stops it at once (standard output closed)", ["-c", "-o", "{port}"],
                     None, [], CLEAR, suspend_clearing, "1"), marks=pytest.mark.jack),
    Row("an undecodable event behind a slow reader: every line owed arrives, and why it stopped "
        "(standard input closed)", ["-v", "-o", "{port}", "{file}"], TEXTS_THEN_BROKEN,
        ["TEXT:%058d" % k for k in range(3000)] + ["Unexpected event: f4H"],
        ["90 3c 40", "90 3c 00"] + PEDALS_OFF, read_after_the_sweep, "0"),
    Row("Ctrl-Z before a song stops velotap at once, and never the song that follows the fg "
        "(standard error closed)", ["-o", "{port}", "{fifo}"], None, [],
        ["90 3c 40", "80 3c 00"] + PEDALS_OFF, suspend_before_a_fifo_is_written, "2"),
    Row("SIGINT to the virtual port: nothing the song had not reached, then the sweep",
        ["{file}"], A_PEDAL_THEN_A_NOTE_IN_5_MIN, [], ["90 3c 40", "b2 40 40", "90 3c 00"] +
        PEDALS_OFF + ["b2 40 00"], interrupt_the_song, ""),
]


@pytest.mark.parametrize("row", ROWS, ids=lambda row: row.name)
def test_row(row, synth, tmp_path):
    song, fifo = tmp_path / "song.mid", str(tmp_path / "fifo")
    song.write_bytes(row.file or b"")
    os.mkfifo(fifo)
    fill = {"{port}": synth.number, "{file}": str(song), "{fifo}": fifo}
    p = rig.start([fill.get(arg, arg) for arg in row.args], closed=row.closed)
    virtual = "{port}" not in row.args
    receiver = rig.Receiver("patch", "Vorn Filter") if virtual else synth
    row.action(p, receiver, fifo)
    (stdout, stderr), msgs = p.communicate(timeout=60), receiver.settle()
    if virtual:
        receiver.port.delete()
    assert [line for line in stdout.splitlines() if line in row.out] == row.out
    assert (stderr, p.returncode) == ("", 0)
    assert rig.hexes(msgs) == row.msgs


@pytest.mark.jack
def test_a_jack_server_that_stops_mid_song_ends_velotap_with_status_1_and_a_word(tmp_path):
    song, name = tmp_path / "song.mid", "velotap-stops-%d" % os.getpid()
    song.write_bytes(smf(0, 96, " ".join(["60 90 3c 40"] * 20)))  # a note each 0.5 s, 10 s
    server = rig.jack_server(name)
    p = rig.start([str(song)], env=dict(os.environ, JACK_DEFAULT_SERVER=name))
    time.sleep(2)
    # Stopped as by a user who restarts it: one killed outright would leave its entry in JACK's
    # registry of servers taken.
    server.terminate()
    stopped = time.monotonic()
    stdout, stderr = p.communicate(timeout=10)
    server.wait()
    assert time.monotonic() - stopped < 1.5, "velotap ended about a second after its server"
    assert p.returncode == 1
    assert "velotap: the JACK server went away" in stderr
