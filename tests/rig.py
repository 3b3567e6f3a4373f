# What the end-to-end tests share: velotap started as a user would, a private JACK server, a
# MIDI input that records what arrives, and files written byte by byte.
import os, subprocess as sp, time
import rtmidi

VELOTAP, API = None, None  # set from the command line (conftest.py)
STARTED = []  # every velotap started, ended after each test (conftest.py)
PEDALS_OFF = ["b0 40 00", "b1 40 00"]  # channels 1 and 2, at every exit


def smf(fmt, division, *tracks):  # a file of tracks written as hex bytes, each ended as it must
    header = b"".join(v.to_bytes(2, "big", signed=True) for v in (fmt, len(tracks), division))
    out = b"MThd\0\0\0\6" + header
    for body in (bytes.fromhex(t + " 00 ff 2f 00") for t in tracks):
        out += b"MTrk" + len(body).to_bytes(4, "big") + body
    return out


def text_event(k):  # a text event of 58 digits, k's
    return "00 ff 01 3a " + ("%058d" % k).encode().hex()


def hexes(msgs):  # messages as "st d1 d2" strings
    return [" ".join("%02x" % b for b in m) for _, m in msgs]


def left_sounding(msgs):  # notes and sustain pedals still down after these messages
    down = {}
    for _, (status, d1, d2) in msgs:
        kind, channel = status & 0xF0, status & 15
        if kind in (0x80, 0x90):
            down[channel, d1] = kind == 0x90 and d2 > 0
        elif kind == 0xB0 and d1 == 64:
            down[channel, "pedal"] = d2 >= 64
    return sorted(str(key) for key, held in down.items() if held)


def state(pid):  # the process state: R, S, T (stopped), Z; X once it is gone
    try:
        return open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return "X"


def until(condition, timeout=10):
    end = time.monotonic() + timeout
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()


def jack_server(name):  # a private JACK server, for the clients started with JACK_DEFAULT_SERVER
    # SIGTERM when the tests end, even killed outright: the server does not outlive them.
    jackd = ["setpriv", "--pdeathsig", "TERM", "jackd", "-n", name, "-S", "--no-realtime", "-d",
             "dummy", "-r", "48000", "-p", "256"]
    server = sp.Popen(jackd, stdout=sp.DEVNULL, stderr=sp.DEVNULL)
    env = dict(os.environ, JACK_DEFAULT_SERVER=name)
    running = lambda: sp.run(["jack_lsp"], capture_output=True, env=env).returncode == 0
    assert until(running), "no JACK server %s (is JACK's registry of eight full?)" % name
    return server


class Receiver:
    # A MIDI input recording what arrives: a port of its own, or connected to another program's.
    def __init__(self, client="synth", connect_to=None):
        self.port, self.msgs = rtmidi.MidiIn(API, client), []
        self.port.set_callback(lambda event, _: self.msgs.append((time.monotonic(), event[0])))
        if connect_to is None:
            self.port.open_virtual_port("in")
            return
        names = lambda: [connect_to in name for name in self.port.get_ports()]
        until(lambda: any(names()))
        self.port.open_port(names().index(True))

    def settle(self, quiet=0.3):  # what arrived until nothing more came for a while; forgotten
        count = -1
        while count < len(self.msgs):
            count = len(self.msgs)
            time.sleep(quiet)
        msgs, self.msgs = self.msgs, []
        return msgs

    def heard(self, message):  # True once this message arrived
        return list(message) in [m for _, m in self.msgs]


def port_number(client):  # the number -o takes for this client's port
    lister = rtmidi.MidiOut(API, "port list")
    names = lister.get_ports()
    lister.delete()  # its client closed now, not when it is collected
    return str(next(k + 1 for k, name in enumerate(names) if name.startswith(client + ":")))


def start(args, closed="", **popen):  # velotap, with the descriptors in `closed` closed
    # In a process group of its own, whose parent is in another: Ctrl-Z's default action stops
    # it, which in a group without such a parent (an orphaned one) it would not.
    shell = 'exec "$@"' + "".join(" %s>&-" % fd for fd in closed)
    popen = dict(dict(stdout=sp.PIPE, stderr=sp.PIPE, text=True, errors="replace",
                      process_group=0), **popen)
    STARTED.append(sp.Popen(["sh", "-c", shell, "sh", VELOTAP] + args, **popen))
    return STARTED[-1]
