# Files played to our port, each printing and sending what tests/oracle.py, a reading of the
# file made with mido's own decoders, says it must, with no error and nothing left sounding:
# random files that reach every corner of the reader, a few odd files of ours, and the peer
# collection of odd files beside the project (../shared, which CI requires).
import glob, os, random
import pytest
import oracle, rig

HERE = os.path.dirname(os.path.abspath(__file__))
PEER = sorted(glob.glob(HERE + "/../../shared/corpus/peer/*.mid"))
ODD = sorted(glob.glob(HERE + "/corpus/*"))


def plays_as_read(data, args, synth, tmp_path):
    # What velotap prints and sends, and the file's own reading (Unreadable where mido fails).
    song = tmp_path / "song.mid"
    song.write_bytes(data)
    p = rig.start(args + ["-o", synth.number, str(song)])
    (stdout, stderr), msgs = p.communicate(timeout=60), synth.settle(0.05)
    assert (stderr, p.returncode, rig.left_sounding(msgs)) == ("", 0, [])
    lines, sent = oracle.expect(data, args)
    assert oracle.printed(stdout) == lines
    assert rig.hexes(msgs) == sent


@pytest.mark.seeds(40)
def test_random_file_plays_as_read(seed, synth, tmp_path):
    data, args = oracle.random_song(random.Random(seed))
    plays_as_read(data, args, synth, tmp_path)


@pytest.mark.jack  # on ALSA our receiver, on the VM's emulated CPU, drops messages of long bursts
@pytest.mark.parametrize("path", ODD + PEER, ids=os.path.basename)
def test_odd_file_plays_as_read(path, synth, tmp_path):
    try:
        plays_as_read(open(path, "rb").read(), ["-v", "-f", "100000000"], synth, tmp_path)
    except oracle.Unreadable as e:  # then only the status, errors and sweep are held
        pytest.skip("mido does not read it: %s" % e)


def test_peer_collection_is_there():
    if not PEER and "VELOTAP_REQUIRE_CORPUS" not in os.environ:
        pytest.skip("the peer collection, ../shared/corpus/peer, is not there")
    assert PEER, "../shared/corpus/peer is required (VELOTAP_REQUIRE_CORPUS)"
