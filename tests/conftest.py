# The end-to-end tests' setting: the binary, the MIDI system (a private JACK server, or the ALSA
# sequencer that tests/alsa-vm provides), our receiving port, and the random tests' seeds.
import os, random, time
import pytest, rtmidi
import rig

# One first seed for every worker of a run: they inherit the environment, so they all collect
# the same tests.
os.environ.setdefault("VELOTAP_SEED", str(random.randrange(10**6)))
# The libraries' own leaks, without a word: a refused JACK client's (under load) is one of them.
os.environ["LSAN_OPTIONS"] = "print_suppressions=0:suppressions=%s/lsan.supp" % (
    os.path.dirname(os.path.abspath(__file__)))


def pytest_addoption(parser):
    parser.addoption("--velotap", required=True, help="the velotap binary to test")
    parser.addoption("--system", choices=("jack", "alsa"), default="jack")
    parser.addoption("--seed", type=int, help="the first random song or schedule (a replay)")
    parser.addoption("--count", type=int, help="how many random songs or schedules")


def pytest_configure(config):
    rig.VELOTAP = os.path.abspath(config.getoption("--velotap"))
    rig.API = {"jack": rtmidi.API_UNIX_JACK, "alsa": rtmidi.API_LINUX_ALSA}[
        config.getoption("--system")]
    config.addinivalue_line("markers", "seeds(N): runs N times, each with a seed of its own")
    config.addinivalue_line("markers", "jack: needs JACK")


def pytest_generate_tests(metafunc):
    # A test marked seeds(N) runs once per seed: N of them (or --count) from this run's random
    # first seed, or from --seed on (one, or --count).
    marker, option = metafunc.definition.get_closest_marker("seeds"), metafunc.config.getoption
    if marker:
        replay = option("--seed") is not None
        first = option("--seed") if replay else int(os.environ["VELOTAP_SEED"])
        seeds = range(first, first + (option("--count") or (1 if replay else marker.args[0])))
        metafunc.parametrize("seed", seeds, ids=["seed%d" % s for s in seeds])


@pytest.fixture(scope="session")
def session_synth(request):
    # Our port, and another before it, so that the list's numbering shows. On JACK, on a private
    # server for this run, one for each worker: a stopped client holds one server up for seconds
    # whatever another client changes. Workers start theirs a second apart, as a server starting
    # beside another can make that fail.
    jack = request.config.getoption("--system") == "jack"
    if jack:
        time.sleep(int(os.environ.get("PYTEST_XDIST_WORKER", "gw0")[2:]))
        os.environ["JACK_DEFAULT_SERVER"] = "velotap-e2e-%d" % os.getpid()
        server = rig.jack_server(os.environ["JACK_DEFAULT_SERVER"])
    other, synth = rig.Receiver("other"), rig.Receiver("synth")
    synth.number = rig.port_number("synth")  # as -o takes it
    yield synth
    for receiver in (synth, other):
        receiver.port.delete()  # every client closed while the server still runs
    if jack:
        server.terminate()
        server.wait()  # a server waited for leaves JACK's registry of servers clean


@pytest.fixture
def synth(session_synth):  # our port, with nothing left from an earlier test
    session_synth.settle(0.05)
    return session_synth



@pytest.fixture(autouse=True)
def no_velotap_left():  # a test that failed leaves no velotap to play into the next
    yield
    for p in rig.STARTED:
        p.kill()
    rig.STARTED.clear()
