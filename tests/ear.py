# Checks by ear: FluidSynth, with a General MIDI SoundFont, plays what reaches its MIDI input and
# writes its sound in real time to a raw file (16-bit stereo); the checks read its levels.
import array, math, os, subprocess as sp, time

SOUNDFONT = "/usr/share/sounds/sf2/TimGM6mb.sf2"
# Before a program the tests start: it gets SIGTERM when the runner ends, even killed outright.
WITH_RUNNER = ["setpriv", "--pdeathsig", "TERM"]
# Per system: the sample rate, how the synth's port name begins, its options. The ALSA runs are
# in an emulated CPU, where only a lighter synth (no reverb or chorus, 16 voices) keeps up.
SETTINGS = {"jack": (44100, "ear:", "-m jack -o midi.jack.id=ear"),
            "alsa": (22050, "FLUID Synth (ear)",
                     "-m alsa_seq -o midi.alsa_seq.id=ear -R 0 -C 0 -o synth.polyphony=16")}


class Synth:
    def __init__(self, system, folder, commands=()):
        # commands: lines for FluidSynth's shell, such as "prog 0 19" (an organ on channel 1).
        self.rate, self.name, options = SETTINGS[system]
        self.raw = os.path.join(folder, "ear-%d.raw" % time.monotonic_ns())
        self.proc = sp.Popen(WITH_RUNNER + ["fluidsynth", "-q", "-a", "file", "-r", str(self.rate)]
                             + ["-o", "audio.file.type=raw", "-o", "audio.file.name=" + self.raw]
                             + options.split() + [SOUNDFONT], stdin=sp.PIPE, text=True,
                             stdout=sp.DEVNULL, stderr=sp.DEVNULL)
        self.proc.stdin.write("".join(c + "\n" for c in commands))
        self.proc.stdin.flush()
        while self.proc.poll() is None and self.size() < self.rate:
            time.sleep(0.05)  # a quarter of a second of sound: it is running

    def size(self):
        return os.path.getsize(self.raw) if os.path.exists(self.raw) else 0

    def mark(self):  # now, as a time and a place in the sound: a place up to one buffer late,
        # tens of milliseconds, which no check depends on
        return time.monotonic(), self.size()

    def stop(self, mark):
        # Quits through its shell (a killed JACK client stalls the server for seconds) and gives
        # the sound from the mark on: (seconds after the mark, RMS level in dBFS) per 10 ms.
        self.proc.communicate("quit\n", timeout=10)
        with open(self.raw, "rb") as f:
            f.seek(mark[1])
            samples = array.array("h", f.read())
        os.remove(self.raw)
        n = 2 * self.rate // 100  # samples in 10 ms, both channels
        return [(k / n / 100, dbfs(samples[k:k + n])) for k in range(0, len(samples) - n + 1, n)]


def dbfs(samples):  # the RMS level of 16-bit samples, in dB below full scale (silence: -120)
    return 10 * math.log10(sum(x * x for x in samples) / len(samples) / 2**30 + 1e-12)


def rises(levels, threshold):  # the times where the level goes above the threshold
    return [t for (_, a), (t, b) in zip([(0, -999)] + levels, levels) if a <= threshold < b]
