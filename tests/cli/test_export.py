"""--midi and --export end to end: the MIDI file read back with a real MIDI
reader (mido) against the notes the library says sound, and the exported
sound decoded by libsndfile against the -w file."""
import ctypes
import ctypes.util
import os
import random
import subprocess
import tempfile

import mido

from test_cli import BINARY, TUNE, Scratch

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")

# Held notes against moving ones, repeated attacks, a repeat, noise drums,
# parts at other tempos and beat units, and a replay.
SMALL = (
    "=60 V1 YA Q1 2 2 4 M V2 YC H -3 -3 M\n"
    "(V1 Q5 4 M )1\n"
    "V3 JER8001B4E2F YE _ I 4' 4' A' 4' M\n"
    "P01 =A0 NH V1 YB Q1 3 M V2 L8 H5 M\n"
    "R01 P02 =40 V4 YD W7 M V5 H 3 4 M\n"
)

# The documented General MIDI program of each instrument letter, and the
# percussion key of each noise rate.
PROGRAMS = {0: 6, 1: 68, 2: 71, 3: 73, 4: 16}
DRUMS = dict(zip(range(73, 89), (35, 36, 41, 43, 45, 47, 48, 50, 38, 40, 39, 54, 42, 46, 49, 57)))


class Note:
    def __init__(self, line):
        (self.voice, self.instrument, self.note, self.level, self.start_frame,
         self.frames) = map(int, line.split())

    def channel(self):
        return 9 if self.note >= 73 else self.voice - 1

    def key(self):
        return DRUMS[self.note] if self.note >= 73 else self.note + 23

    def order(self):
        """As midi_notes orders what it reads: by start, channel and key."""
        return (self.start_frame, self.channel(), self.key())


def library_notes(text):
    """The notes of the whole rendering as libquarvel lists them."""
    with tempfile.NamedTemporaryFile(suffix=".qvl") as score:
        score.write(text.encode("latin-1"))
        score.flush()
        r = subprocess.run([os.environ["LIST_NOTES"], score.name], capture_output=True,
                           timeout=60, check=True)
    return [Note(line) for line in r.stdout.decode().splitlines()]


def midi_notes(path):
    """(track name, channel, key, velocity, start and end in seconds, program)
    of every note, note-ons paired with their note-offs."""
    midi = mido.MidiFile(path)
    found = []
    for track in midi.tracks[1:]:
        # Seconds need the conductor's tempo map: merge it in, keep this track's notes.
        now, tempo, tick = 0.0, 500000, 0
        program, on = {}, {}
        merged = mido.merge_tracks([midi.tracks[0], track])
        for message in merged:
            now += mido.tick2second(message.time, midi.ticks_per_beat, tempo)
            tick += message.time
            if message.type == "set_tempo":
                tempo = message.tempo
            elif message.type == "program_change":
                program[message.channel] = message.program
            elif message.type == "note_on" and message.velocity > 0:
                assert (message.channel, message.note) not in on, "a key struck twice"
                on[message.channel, message.note] = (now, tick, message.velocity)
            elif message.type in ("note_on", "note_off"):
                start, start_tick, velocity = on.pop((message.channel, message.note))
                found.append({"track": track.name, "channel": message.channel,
                              "key": message.note, "velocity": velocity, "start": start,
                              "end": now, "ticks": (start_tick, tick),
                              "program": program.get(message.channel)})
        assert not on, "notes without their note-off"
    return midi, sorted(found, key=lambda n: (n["ticks"][0], n["channel"], n["key"]))


class Midi(Scratch):
    def scores(self):
        with open(os.path.join(EXAMPLES, "drunken_sailor.qvl"), "rb") as f:
            sailor = f.read().decode("latin-1")
        return {"small": SMALL, "cli tune": TUNE, "drunken sailor": sailor}

    def test_notes_read_back_are_the_notes_that_sound(self):
        for label, text in self.scores().items():
            with self.subTest(label):
                self.write("tune.qvl", text)
                r = self.run_cli("--midi", "tune")
                self.assertEqual(r.returncode, 0, r.stderr)
                wav_line = self.run_cli("-w", "tune").stdout.decode()
                self.assertEqual(r.stdout.decode(), wav_line.replace("tune.wav", "tune.mid"))
                midi, got = midi_notes(self.path("tune.mid"))
                self.assertEqual(midi.type, 1)
                self.assertEqual(midi.ticks_per_beat % 48, 0)
                # Level 254 and above is silent and is not written.
                want = [n for n in library_notes(text) if n.level < 254]
                self.assertGreater(len(want), 0)
                self.assertEqual(len(got), len(want))
                # A track for each voice's pitched notes, one for the drums of all.
                tracks = sorted({"Voice %d" % n.voice for n in want if n.note < 73})
                tracks += ["Drums"] if any(n.note >= 73 for n in want) else []
                self.assertEqual([t.name for t in midi.tracks[1:]], tracks)
                for n, m in zip(sorted(want, key=Note.order), got):
                    noise = n.note >= 73
                    self.assertEqual(m["track"], "Drums" if noise else "Voice %d" % n.voice)
                    self.assertEqual(m["channel"], n.channel())
                    self.assertEqual(m["key"], n.key())
                    self.assertEqual(m["program"], None if noise else PROGRAMS[n.instrument])
                    self.assertEqual(m["velocity"] == 127, n.level < 6)
                    # Tempos are whole microseconds per quarter note: well under a millisecond.
                    self.assertAlmostEqual(m["start"], n.start_frame / 44100, delta=1e-3)
                    self.assertAlmostEqual(m["end"], (n.start_frame + n.frames) / 44100,
                                           delta=1e-3)
                # The file lasts as long as the rendering, trailing rests included.
                frames = (os.path.getsize(self.path("tune.wav")) - 46) // 4
                self.assertAlmostEqual(midi.length, frames / 44100, delta=1e-3)

    def test_ticks_are_score_ticks(self):
        # One tempo: =60 is tempo index 48, 80 in the table, so a tick of the
        # beat unit Q (2) is 320 frames and a quarter note 48 of them.
        self.write("tune.qvl", "=60 V1 Q1 2 I3 4 5 S6 Q.7 M V2 W1 M V3 _ I3' 3' 5 M")
        self.assertEqual(self.run_cli("--midi", "tune").returncode, 0)
        midi, got = midi_notes(self.path("tune.mid"))
        want = sorted(library_notes(self.text("tune.qvl")), key=Note.order)
        self.assertEqual(len(got), len(want))
        for n, m in zip(want, got):
            self.assertEqual(m["ticks"][0] * 320 * 48 // midi.ticks_per_beat, n.start_frame)
            self.assertEqual((m["ticks"][1] - m["ticks"][0]) * 320 * 48 // midi.ticks_per_beat,
                             n.frames)
        tempos = [m.tempo for m in midi.tracks[0] if m.type == "set_tempo"]
        self.assertEqual(tempos, [round(48 * 320 * 1e6 / 44100)])

    def text(self, name):
        with open(self.path(name), "rb") as f:
            return f.read().decode("latin-1")

    def test_names_and_company(self):
        self.write("tune.qvl", SMALL)
        os.mkdir(os.path.join(self.dir, "out"))
        plain_wav = self.run_cli("-w", "tune")
        with open(self.path("tune.wav"), "rb") as f:
            wave = f.read()
        # (arguments, the MIDI file written, standard output like plain -w's)
        cases = [
            (["--midi=out/x.mid", "tune"], "out/x.mid", False),
            (["-w", "--midi", "tune"], "tune.mid", True),
            (["-c", "--midi=out/c.mid", "tune"], "out/c.mid", False),
        ]
        for args, name, as_wav in cases:
            with self.subTest(args=args):
                r = self.run_cli(*args)
                self.assertEqual(r.returncode, 0, r.stderr)
                midi, got = midi_notes(self.path(name))
                self.assertGreater(len(got), 0)
                if as_wav:
                    self.assertEqual(r.stdout, plain_wav.stdout)
                    with open(self.path("tune.wav"), "rb") as f:
                        self.assertEqual(f.read(), wave)
                os.remove(self.path(name))

    def test_every_note_of_every_channel_is_closed(self):
        # Random scores where voices strike the same drums and pitches at the
        # same ticks: read as a player reads the file (all tracks merged), every
        # note-on of a channel and key is closed by its note-off before the
        # next one, and nothing is left sounding.
        rng = random.Random(24)
        for case in range(30):
            bars = []
            for _ in range(rng.randint(1, 4)):
                voices = []
                for v in range(1, 6):
                    if rng.random() < 0.25:
                        continue
                    notes = " ".join(rng.choice(["1", "1", "2", "1'", "$", "1,", "0;", "2\""])
                                     for _ in range(rng.randint(1, 6)))
                    voices.append("V%d %s %s %s *" % (v, rng.choice("HQIS"), rng.choice("_*"),
                                                      notes))
                bars.append(" ".join(voices) + " M")
            text = "\n".join(bars) + "\n"
            with self.subTest(case=case, text=text):
                self.write("tune.qvl", text)
                r = self.run_cli("--midi", "--no-warn=all", "tune")
                self.assertEqual(r.returncode, 0, r.stderr)
                midi = mido.MidiFile(self.path("tune.mid"))
                on, notes = set(), 0
                for message in mido.merge_tracks(midi.tracks):
                    if message.type == "note_on" and message.velocity > 0:
                        self.assertNotIn((message.channel, message.note), on, "struck twice")
                        on.add((message.channel, message.note))
                        notes += 1
                    elif message.type in ("note_on", "note_off"):
                        self.assertIn((message.channel, message.note), on, "an unmatched off")
                        on.remove((message.channel, message.note))
                self.assertEqual(on, set(), "notes left sounding")

    def test_signatures_follow_the_keys_and_the_bar_lengths(self):
        # K takes effect at the next bar line; the meter is the bar's length.
        self.write("tune.qvl", "K3& M Q 1 2 3 M I 1 2 3 K2# 4 5 6 M Q 1 2 3 M H 1 2 M (Q 1 M )1")
        def signatures(name):
            tick, found = 0, []
            for message in mido.MidiFile(self.path(name)).tracks[0]:
                tick += message.time
                if message.type == "time_signature":
                    found.append((tick, "%d/%d" % (message.numerator, message.denominator)))
                elif message.type == "key_signature":
                    found.append((tick, message.key))
            return found

        self.assertEqual(self.run_cli("--midi", "--no-warn=all", "tune").returncode, 0)
        self.assertEqual(signatures("tune.mid"), [(0, "3/4"), (0, "Eb"), (288, "D"),
                                                  (432, "4/4"), (624, "1/4")])
        # A range starts with the signatures in force there.
        cut = self.run_cli("--midi=cut.mid", "--no-warn=all", "--from=3", "tune")
        self.assertEqual(cut.returncode, 0, cut.stderr)
        self.assertEqual(signatures("cut.mid"), [(0, "3/4"), (0, "D"), (144, "4/4"),
                                                 (336, "1/4")])

    def test_failure_leaves_no_file(self):
        self.write("tune.qvl", SMALL)
        r = self.run_cli("--midi=no/such/dir/x.mid", "tune")
        self.assertEqual(r.returncode, 4)
        self.assertEqual(r.stdout.decode(), "exit 4 %s\n" % self.path("tune.qvl"))
        self.assertIn("no/such/dir/x.mid", r.stderr.decode())


class SoundFile:
    """Decodes a sound file to 16-bit frames through libsndfile."""

    class Info(ctypes.Structure):
        _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int),
                    ("channels", ctypes.c_int), ("format", ctypes.c_int),
                    ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]

    def __init__(self, path):
        lib = ctypes.CDLL(ctypes.util.find_library("sndfile"))
        lib.sf_open.restype = ctypes.c_void_p
        lib.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p]
        lib.sf_readf_short.restype = ctypes.c_int64
        lib.sf_readf_short.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
        lib.sf_close.argtypes = [ctypes.c_void_p]
        self.info = self.Info()
        handle = lib.sf_open(path.encode(), 0x10, ctypes.byref(self.info))  # SFM_READ
        assert handle, "libsndfile cannot read " + path
        chunks = []
        buffer = (ctypes.c_int16 * (2 * 65536))()
        while True:
            n = lib.sf_readf_short(handle, buffer, 65536)
            if n <= 0:
                break
            chunks.append(bytes(buffer)[:4 * n])
        lib.sf_close(handle)
        self.data = b"".join(chunks)


class Export(Scratch):
    def setUp(self):
        super().setUp()
        self.write("tune.qvl", TUNE)
        self.assertEqual(self.run_cli("-w", "tune").returncode, 0)
        with open(self.path("tune.wav"), "rb") as f:
            self.wave = f.read()

    def test_wave_exports_are_the_w_bytes(self):
        for target in ("out.wav", "OUT.WAV", "-"):
            with self.subTest(target=target):
                r = self.run_cli("--export", target, "tune")
                self.assertEqual(r.returncode, 0, r.stderr)
                if target == "-":
                    self.assertEqual(r.stdout, self.wave)
                    continue
                self.assertEqual(r.stdout.decode(), "%s %s" % (target, self.frames_line()))
                with open(self.path(target), "rb") as f:
                    self.assertEqual(f.read(), self.wave)

    def frames_line(self):
        return self.run_cli("-w", "tune").stdout.decode().split(" ", 1)[1]

    def test_stream_keeps_the_lines_out_of_the_sound(self):
        # (score, exit status): standard output holds the sound and nothing else.
        self.write("bad.qvl", "Q1 &")
        for name, status in (("tune", 0), ("bad", 3), ("missing", 1)):
            with self.subTest(name=name):
                r = self.run_cli("--midi=out.mid", "--export", "-", name)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(r.stdout, self.wave if status == 0 else b"")
                if status == 0:
                    self.assertIn("out.mid %s- %s" % ((self.frames_line(),) * 2),
                                  r.stderr.decode())
                else:
                    self.assertTrue(r.stderr.decode().endswith(
                        "exit %d %s\n" % (status, self.path(name + ".qvl"))))

    def test_stream_into_a_pipe(self):
        r = subprocess.run("%s --export - tune | cat > piped.wav" % BINARY, shell=True,
                           cwd=self.dir, capture_output=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.path("piped.wav"), "rb") as f:
            self.assertEqual(f.read(), self.wave)

    def test_encoded_formats(self):
        samples = self.wave[46:]
        # (file, lossless: decodes to exactly the -w samples)
        for name, lossless in (("a.flac", True), ("a.ogg", False), ("a.mp3", False),
                               ("a.opus", False)):
            with self.subTest(name=name):
                self.write(name, "old")
                r = self.run_cli("--export", name, "tune")
                left = sorted(os.listdir(self.dir))
                if r.returncode != 0:
                    # Not every libsndfile writes every format at 44100 Hz:
                    # then it says so, and the old file stays as it was.
                    self.assertEqual(r.returncode, 4)
                    self.assertIn("cannot write", r.stderr.decode())
                    self.assertEqual(self.text(name), "old")
                    self.assertFalse([f for f in left if f.startswith(".")], left)
                    continue
                sound = SoundFile(self.path(name))
                self.assertEqual((sound.info.samplerate, sound.info.channels), (44100, 2))
                if lossless:
                    self.assertEqual(sound.data, samples)
                else:
                    # Encoders pad and trim a little; the length stays within 0.1 s.
                    self.assertAlmostEqual(len(sound.data) / 4, len(samples) / 4, delta=4410)
                    self.assertGreater(max(sound.data), 0)

    def text(self, name):
        with open(self.path(name), "rb") as f:
            return f.read().decode("latin-1")

    def test_refusals(self):
        # (arguments, exit status, words of the reason)
        cases = [
            (["--export", "a.xyz", "tune"], 1, "no sound format"),
            (["--export", "noext", "tune"], 1, "no sound format"),
            (["-c", "--export", "-", "tune"], 1, "standard output"),
            (["--export", "no/dir/a.wav", "tune"], 4, "no/dir/a.wav"),
        ]
        for args, status, reason in cases:
            with self.subTest(args=args):
                r = self.run_cli(*args)
                self.assertEqual(r.returncode, status)
                self.assertEqual(r.stdout.decode(), "exit %d %s\n" % (status, self.path("tune.qvl")))
                self.assertIn(reason, r.stderr.decode())
