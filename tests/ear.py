# Checks by ear: FluidSynth, with a General MIDI SoundFont, plays what reaches its MIDI input and
# writes its sound in real time to a raw file (16-bit stereo); the checks read its levels.
import array, math, os, subprocess as sp, time

SOUNDFONT = "/usr/share/sounds/sf2/TimGM6mb.sf2"
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
        self.proc = sp.Popen(["fluidsynth", "-q", "-a", "file", "-r", str(self.rate),
                              "-o", "audio.file.type=raw", "-o", "audio.file.name=" + self.raw]
                             + options.split() + [SOUNDFONT], stdin=sp.PIPE, text=True,
                             stdout=sp.DEVNULL, stderr=sp.DEVNULL)
        self.proc.stdin.write("".join(c + "\n" for c in commands))
        self.proc.stdin.flush()
        while self.proc.poll() is None and self.size() < self.rate:
            time.sleep(0.05)  # a quarter of a second of sound: it is running

    def size(self):
        return os.path.getsize(self.raw) if os.path.exists(self.raw) else 0

    def mark(self):
        # Now, as a time and a place in the file, taken as the driver writes: nothing written
        # before this moment is left in a buffer.
        size = self.size()
        while self.size() == size:
            time.sleep(0.0002)
        return time.monotonic(), self.size()

    def levels(self, mark, step=0.1):
        # From the mark until now: (seconds after the mark, RMS level in dBFS) of each window of
        # `step` seconds. A synth lagging behind is waited for.
        end = mark[1] + 4 * int((time.monotonic() - mark[0]) * self.rate)
        while self.proc.poll() is None and self.size() < end:
            time.sleep(0.01)
        with open(self.raw, "rb") as f:
            f.seek(mark[1])
            samples = array.array("h", f.read(end - mark[1]))
        n = 2 * int(step * self.rate)  # samples in a window, both channels
        return [(k // n * step, dbfs(samples[k:k + n])) for k in range(0, len(samples) - n + 1, n)]

    def stop(self):  # through its shell: a killed JACK client stalls the server for seconds
        self.proc.communicate("quit\n", timeout=10)
        os.remove(self.raw)


def dbfs(samples):  # the RMS level of 16-bit samples, in dB below full scale (silence: -120)
    return 10 * math.log10(sum(x * x for x in samples) / len(samples) / 2**30 + 1e-12)


def at(levels, t, width=0.1):  # the level of the `width` seconds from t on
    powers = [10 ** (db / 10) for s, db in levels if t <= s < t + width] or [1e-12]
    return 10 * math.log10(sum(powers) / len(powers))


def rises(levels, threshold):  # the times where the level goes above the threshold
    return [t for (_, a), (t, b) in zip([(0, -999)] + levels, levels) if a <= threshold < b]
