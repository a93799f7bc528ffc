"""--import end to end: MIDI files written by LilyPond and abc2midi from
sources held here, and by the program's own --midi, read into scores that
compile without a warning and sound the same notes; malformed files refused
with a reason and nothing written."""
import os
import shutil
import struct
import subprocess
import unittest

import mido

from test_cli import TUNE, Scratch
from test_export import EXAMPLES, SMALL

# A two-voice piece with a pickup, a triplet and a tie across the bar line.
TWO_VOICES = r"""
\version "2.24.0"
\score {
  \new Staff <<
    \new Voice \relative c'' { \voiceOne \key d \major \time 3/4 \partial 4
      a4 | d4 \tuplet 3/2 { cis8 b a } g4 ~ | g2 fis4 | e2. \bar "|." }
    \new Voice \relative c' { \voiceTwo \key d \major \time 3/4 \partial 4
      fis4 | fis2 e4 | d2 d4 | cis2. }
  >>
  \midi { \tempo 4 = 96 }
}
"""

# Drums under a tune: the percussion channel against a melody.
DRUMS_AND_TUNE = r"""
\version "2.24.0"
\score {
  <<
    \new Staff \relative c'' { \time 4/4 c4 d e f | g1 }
    \new DrumStaff \drummode { bd4 hh sn hh | bd8 bd hh4 sn4 r4 }
  >>
  \midi { \tempo 4 = 120 }
}
"""

# Two chords of seven notes: two of each cannot have a voice.
SEVEN_NOTE_CHORDS = r"""
\version "2.24.0"
\score {
  \new Staff { <c' e' g' b' d'' f'' a''>1 | <d' f' a' c'' e'' g'' b''>1 }
  \midi { }
}
"""

# A jig with a pickup and a repeat.
JIG = """X:1
T:Pickup Jig
M:6/8
L:1/8
Q:3/8=120
K:G
D|:GAB c2A|BGG G2D|GAB cBA|BGF G2:|
"""

# Scores whose MIDI file must come back note for note: held notes and
# repeated attacks, marks, triplets, noise, parts at other tempos, a replay.
ROUND_TRIP = {
    "small": SMALL,
    "cli tune": TUNE,
    "marks": "Q 4 4' 4\" 4, 4; I: 5 5 5 Q. 7 I 6 M H 0 $ M",
    "ties over bars": "V1 H. 3 Q 3 M W 3 M   V2 W -7 M Q -7 -7 H -7 M",
    "accidentals": "K3& M V1 Q 2 2% 5# 6 M V2 @ H 3& 3 * M",
    "noise": "JER8001B4E2F V3 YE _ I 4' 4' A' 4\" Q 0 F * M",
    "low and high": "V1 U-F Q -6 0 1 $ M V2 U+F Q 5& 4 3 $ M V3 U-E Q 0 1 2 $ M",
    "tempo parts": "=80 Q 1 2 3 4 M P =A0 NH Q 5 6 M P =40 NI Q 7 M",
}


def score_ticks(path):
    """The notes of a MIDI file on the grid of 48 ticks a quarter:
    (start, key, drum, length, velocity), in order."""
    midi = mido.MidiFile(path)
    notes, open_notes = [], {}
    for track in midi.tracks:
        tick = 0
        for m in track:
            tick += m.time
            if m.type == "note_on" and m.velocity > 0:
                open_notes[m.channel, m.note] = (tick, m.velocity)
            elif m.type in ("note_on", "note_off") and (m.channel, m.note) in open_notes:
                start, velocity = open_notes.pop((m.channel, m.note))
                on = round(start * 48 / midi.ticks_per_beat)
                off = round(tick * 48 / midi.ticks_per_beat)
                notes.append((on, m.note, m.channel == 9, off - on, velocity))
    return sorted(notes)


def tempos(path):
    return [(m.time, m.tempo) for m in mido.MidiFile(path).tracks[0] if m.type == "set_tempo"]


class Import(Scratch):
    def imported(self, midi, name="tune", *options):
        """Imports a MIDI file of the scratch directory; the run's result."""
        r = self.run_cli(*options, "--import", midi, name)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r

    def assert_clean(self, name):
        """The score compiles with every warning on and none shows, but for
        the notes held over a bar line: that is how the language ties."""
        r = self.run_cli("--check", "--warn=all", "--no-warn=tie-across-bar", name)
        self.assertEqual((r.returncode, r.stderr.decode()), (0, ""))

    def exported(self, name):
        r = self.run_cli("--midi=%s.back.mid" % name, name)
        self.assertEqual(r.returncode, 0, r.stderr)
        return self.path(name + ".back.mid")

    def assert_same_notes(self, want, got, drums=None, dropped=()):
        """Onsets and keys exact, lengths within the tick that keeps two
        attacks of one key apart."""
        drums = drums or {}
        want = [n for n in want if n not in dropped]
        self.assertEqual(len(got), len(want))
        for w, g in zip(want, got):
            key = drums.get(w[1], w[1]) if w[2] else w[1]
            self.assertEqual((g[0], g[1], g[2]), (w[0], key, w[2]))
            self.assertLessEqual(abs(g[3] - w[3]), 1, (w, g))


def lilypond(test, source):
    if shutil.which("lilypond") is None:
        test.skipTest("lilypond is not installed")
    path = test.write("piece.ly", source)
    subprocess.run(["lilypond", "-s", "-o", os.path.join(test.dir, "piece"), path], check=True,
                   capture_output=True, timeout=300)
    return "piece.midi"


class FromOtherPrograms(Import):
    def test_two_voices_with_a_triplet_and_a_tie(self):
        midi = lilypond(self, TWO_VOICES)
        r = self.imported(midi)
        self.assertRegex(r.stdout.decode(), r"^tune\.qvl 0:\d\.\d\d\n$")
        self.assert_clean("tune")
        text = open(self.path("tune.qvl")).read()
        lines = text.splitlines()
        self.assertIn("piece.midi", lines[0])
        self.assertIn("K2#", text)  # D major from the key signature
        # The pickup is a bar of its own; then one line a bar, each numbered.
        bars = [line for line in lines if line.rstrip().split()[-1].startswith("M")][1:]
        self.assertEqual([b.split()[-1] for b in bars], ["M1", "M2", "M3", "M4"])
        self.assertIn("I:", bars[1])  # the triplet
        self.assert_same_notes(score_ticks(self.path(midi)), score_ticks(self.exported("tune")))

    def test_drums_with_a_tune(self):
        midi = lilypond(self, DRUMS_AND_TUNE)
        self.imported(midi)
        self.assert_clean("tune")
        self.assertIn("_", open(self.path("tune.qvl")).read())
        got = score_ticks(self.exported("tune"))
        self.assert_same_notes(score_ticks(self.path(midi)), got)
        self.assertTrue(any(n[2] for n in got))

    def test_chords_of_seven_notes(self):
        midi = lilypond(self, SEVEN_NOTE_CHORDS)
        r = self.imported(midi)
        self.assertIn("piece.midi: 4 notes dropped: more than five at once in bars 1\u20132",
                      r.stderr.decode())
        self.assert_clean("tune")
        want = score_ticks(self.path(midi))
        # Each chord keeps its top and bottom and the notes nearest the top.
        dropped = [n for n in want if n[1] in (64, 67, 65, 69)]
        self.assert_same_notes(want, score_ticks(self.exported("tune")), dropped=dropped)

    def test_jig_with_a_pickup_and_a_repeat(self):
        if shutil.which("abc2midi") is None:
            self.skipTest("abc2midi is not installed")
        self.write("jig.abc", JIG)
        subprocess.run(["abc2midi", "jig.abc", "-o", "jig.mid"], cwd=self.dir, check=True,
                       capture_output=True, timeout=60)
        self.imported("jig.mid", "jig")
        self.assert_clean("jig")
        text = open(self.path("jig.qvl")).read()
        self.assertIn("K1#", text)
        first_bar = next(line for line in text.splitlines() if line.startswith("V1"))
        self.assertRegex(first_bar, r"^V1 (L\w )?I 1\s+M1$")  # the pickup D alone
        want = score_ticks(self.path("jig.mid"))
        got = score_ticks(self.exported("jig"))
        self.assertEqual(len(want), 2 * 20 + 1)  # the repeat played out
        self.assert_same_notes(want, got)


class RoundTrip(Import):
    """--midi, --import, --midi: the same notes, velocities and tempos."""

    def scores(self):
        for name in sorted(os.listdir(EXAMPLES)):
            if name.endswith(".qvl"):
                with open(os.path.join(EXAMPLES, name), "rb") as f:
                    yield name, f.read().decode("latin-1")
        yield from ROUND_TRIP.items()

    def test_the_same_notes_come_back(self):
        for label, text in self.scores():
            with self.subTest(label):
                self.write("tune.qvl", text)
                first = self.exported("tune")
                self.imported(first, "back", "--force")
                self.assert_clean("back")
                second = self.exported("back")
                want, got = score_ticks(first), score_ticks(second)
                self.assert_same_notes(want, got)
                self.assertEqual([n[4] for n in got], [n[4] for n in want])
                self.assertEqual(tempos(second), tempos(first))
                # The same playing time as the score it came from.
                a = self.run_cli("-w", "tune").stdout.decode().split()[-1]
                b = self.run_cli("-w", "back").stdout.decode().split()[-1]
                self.assertEqual(a, b)


def chunk(kind, body):
    return kind + struct.pack(">I", len(body)) + body


def header(format_=1, tracks=1, division=96):
    return chunk(b"MThd", struct.pack(">HHH", format_, tracks, division))


NOTE = b"\x00\x90\x3c\x40\x60\x80\x3c\x40"
END = b"\x00\xff\x2f\x00"

# (label, file bytes, what the one-line reason says)
MALFORMED = [
    ("empty", b"", "empty"),
    ("text", b"X:1\nT:not a MIDI file at all\n", "not a Standard MIDI File"),
    ("header only", b"MThd\x00\x00", "not a Standard MIDI File"),
    ("short header", b"MThd\x00\x00\x00\x04\x00\x01\x00\x01\x00\x60", "shorter than 6"),
    ("no track", header(tracks=0), "no track"),
    ("track missing", header(tracks=2) + chunk(b"MTrk", NOTE + END), "announces 2 tracks"),
    ("truncated chunk header", header() + b"MTr", "inside a chunk header"),
    ("length past the end", header() + b"MTrk\x00\x00\x00\x40" + NOTE + END, "past the end"),
    ("huge length", header() + b"MTrk\xff\xff\xff\xf0" + NOTE, "past the end"),
    ("no end of track", header() + chunk(b"MTrk", NOTE), "no end-of-track"),
    ("cut inside an event", header() + chunk(b"MTrk", b"\x00\x90\x3c"), "ends inside"),
    ("data byte first", header() + chunk(b"MTrk", b"\x00\x3c\x40" + END), "without a status"),
    ("long delta", header() + chunk(b"MTrk", b"\x80\x80\x80\x80\x00" + END), "longer than four"),
    ("meta past the track", header() + chunk(b"MTrk", b"\x00\xff\x01\x40abc"), "past the end"),
    ("sysex past the track", header() + chunk(b"MTrk", b"\x00\xf0\x7f\x01"), "past the end"),
    ("status with no place", header() + chunk(b"MTrk", b"\x00\xf4" + END), "0xF4"),
    ("SMPTE division", header(division=0xE728) + chunk(b"MTrk", NOTE + END), "SMPTE"),
    ("type 2", header(format_=2) + chunk(b"MTrk", NOTE + END), "type 2"),
    ("no notes", header() + chunk(b"MTrk", END), "no notes"),
]


class Reading(Import):
    def test_malformed_files_are_refused(self):
        for label, data, reason in MALFORMED:
            with self.subTest(label):
                self.write("bad.mid", data)
                r = self.run_cli("--import", "bad.mid", "tune")
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, b"")
                lines = r.stderr.decode().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertIn("cannot import bad.mid: ", lines[0])
                self.assertIn(reason, lines[0])
                self.assertFalse(os.path.exists(self.path("tune.qvl")))

    def test_what_a_reader_must_take(self):
        # Type 0 with running status, a note-on of velocity 0 as note-off,
        # sysex, a text and an unknown chunk skipped, a division of 7 ticks.
        track = (b"\x00\xf0\x03\x7e\x7f\xf7" + b"\x00\xff\x01\x02hi" + b"\x00\xc0\x44"
                 b"\x00\x90\x3c\x40" b"\x07\x3c\x00" b"\x00\x3e\x40" b"\x07\x3e\x00" + END)
        data = header(format_=0, division=7) + chunk(b"XFIH", b"\x01\x02") + chunk(b"MTrk", track)
        self.write("ok.mid", data)
        self.imported("ok.mid")
        self.assert_clean("tune")
        self.assertEqual([(n[0], n[1], n[3]) for n in score_ticks(self.exported("tune"))],
                         [(0, 60, 48), (48, 62, 48)])
        self.assertIn("YB", open(self.path("tune.qvl")).read())  # program 68, the oboe


class Keys(Import):
    def test_a_key_guessed_from_the_notes(self):
        # A file without a key signature: G major from its notes, the F sharp
        # then written by the key, the one F natural by its accidental.
        self.write("g.qvl", "Q 4 5 6 7 8 9 A# B M 6 A# A% 4 M")
        self.assertEqual(self.run_cli("--midi=g.mid", "g").returncode, 0)
        song = mido.MidiFile(self.path("g.mid"))  # --midi writes the key: take it out
        for track in song.tracks:
            track[:] = [m for m in track if m.type != "key_signature"]
        song.save(self.path("g.mid"))
        self.imported("g.mid")
        text = open(self.path("tune.qvl")).read()
        self.assertIn("K1# M", text)
        self.assertIn(" A ", text)
        self.assertIn(" A% ", text)
        self.assert_same_notes(score_ticks(self.path("g.mid")), score_ticks(self.exported("tune")))


class Writing(Import):
    def setUp(self):
        super().setUp()
        self.write("tune.qvl", TUNE)
        self.assertEqual(self.run_cli("--midi=in.mid", "tune").returncode, 0)

    def test_an_existing_score_is_kept_unless_forced(self):
        self.write("new.qvl", "Q 0 M")
        r = self.run_cli("--import", "in.mid", "new")
        self.assertEqual(r.returncode, 1)
        self.assertIn("new.qvl exists", r.stderr.decode())
        self.assertEqual(open(self.path("new.qvl")).read(), "Q 0 M")
        r = self.run_cli("--force", "--import", "in.mid", "new.txt")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout.decode(), r"^new\.qvl \d+:\d+\.\d\d\n$")
        self.assertNotEqual(open(self.path("new.qvl")).read(), "Q 0 M")
        self.assertEqual(sorted(os.listdir(self.dir)), ["in.mid", "new.qvl", "tune.qvl"])

    def test_standard_output(self):
        r = self.run_cli("--import", "in.mid", "-")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.write("piped.qvl", r.stdout)
        self.assert_clean("piped")
        self.assertFalse(os.path.exists(self.path("-.qvl")))

    def test_the_name_in_the_comment_stays_a_comment(self):
        shutil.copy(self.path("in.mid"), self.path("a\nQ 7 M.mid"))
        self.imported("a\nQ 7 M.mid", "odd")
        self.imported("in.mid", "plain")
        lines = open(self.path("odd.qvl")).read().splitlines()
        self.assertEqual(lines[0].split(":")[0], "/ Imported from a?Q 7 M.mid")
        self.assertEqual(lines[1:], open(self.path("plain.qvl")).read().splitlines()[1:])

    def test_the_midi_file_is_never_replaced(self):
        shutil.copy(self.path("in.mid"), self.path("song.qvl"))
        midi = open(self.path("song.qvl"), "rb").read()
        r = self.run_cli("--force", "--import", "song.qvl", "song")
        self.assertEqual(r.returncode, 4, r.stderr)
        self.assertIn("the MIDI file this run reads", r.stderr.decode())
        self.assertEqual(open(self.path("song.qvl"), "rb").read(), midi)

    def test_a_score_that_cannot_be_written(self):
        r = self.run_cli("--import", "in.mid", "no/such/dir/x")
        self.assertEqual(r.returncode, 4)
        self.assertIn("no/such/dir/x.qvl", r.stderr.decode())
        r = self.run_cli("--import", "missing.mid", "x")
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot import missing.mid", r.stderr.decode())


if __name__ == "__main__":
    unittest.main()
