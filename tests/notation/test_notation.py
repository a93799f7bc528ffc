"""--export NAME.musicxml and NAME.mxl end to end: the file valid against the
MusicXML 4.0 schema (xmllint), holding the onsets and pitches --midi holds
(repeats unrolled, tied notes joined), and read back by real notation
programs: LilyPond (musicxml2ly, then lilypond without a failed bar check)
and MuseScore 3 (its MIDI file has the same notes). A reader that is not
installed skips its test, except in CI, where it fails."""
import os
import shutil
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET
import zipfile

import mido

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from quarvel_testing import EXAMPLES, Scratch  # noqa: E402

SCHEMA = os.path.join(HERE, "musicxml-4.0")

# Small scores, each showing one thing the notation must get right.
TABLE = {
    "keys": "K3& M Q3 3% 4 6 M K2# M Q3 0 0# 1 M K0# M Q3 6& 6 2 M",
    "triplets": "I: 0 1 2 Q 3 H 4 M S: 0 1 2 3 4 5 H. 6 M Q: 0 1 2 H 3 M",
    "dots": "Q. 0 I 1 H 2 M H.. 4 I 5 M S. 0 T 1 Q 2 H 3 M",
    "ties": "Q0 0 H1 M 1 Q2 H3 M W:. 4 Q: 5 5 M H 6 Q 6 6 M",
    "pickup and meters": "I 4 5 M Q6 4 5 6 M Q. 7 7 M H 8 M I 4 5 6 M H. 4 M",
    "transposition": ">3 K1# M Q0 3 4 7 M <5 U+2 Q0 1 2 3 M U0 >0 Q0 1 2 3 M",
    "repeats": "Q0 1 2 3 M (Q4 5 6 7 M H8 8 M )2 (Q1 2 M 3 )1 4 M (Q0 M )1",
    "parts and replays": "P01 V1 YA Q0 1 2 3 V2 YC H-3 -7 M P02 =50 Q4 5 6 7 M R01 P03 V1 YE W9 M",
    "drums": "V4 _ Q1 9' 1\" 9 M I C C D D E E F F M V1 * Q0 1 2 3 M",
    "slot maps and accidental memories": "V1 Q0 1 V2 Q3 4 M Z3 V1 Q0 0 V2 Q3# 3 M "
                                         "Z0 O1 V1 Q3 3 V2 Q3# 3 M",
    "nested repeat and a replayed repeat": "(V1 Q0 1 M (V1 Q2 3 M )1 V1 Q4 5 M )1 "
                                           "P01 (V1 Q0 1 M )2 P02 V1 Q5 M R01 P03 V1 Q7 M",
    "five voices": "V1 Q0 1 2 3 V2 H-3 -4 V3 W-7 V4 Q4 4, 5; 5 V5 _ I1 1 2 2 3 3 4 4 M\n"
                   "V1 W0 V2 W-7 V3 W4 V4 W7 V5 _ W1 M",
}


def examples():
    scores = {}
    for name in sorted(os.listdir(EXAMPLES)):
        if name.endswith(".qvl"):
            with open(os.path.join(EXAMPLES, name), "rb") as f:
                scores[name[:-4]] = f.read().decode("latin-1")
    return scores


def all_scores():
    return {**examples(), **TABLE}


def needed(program):
    """Fails in CI and skips elsewhere when a reader is not installed."""
    if shutil.which(program):
        return
    if os.environ.get("CI"):
        raise AssertionError(program + " is not installed")
    raise unittest.SkipTest(program + " is not installed")


def midi_onsets(path):
    """The set of (tick at 48 a quarter, key, drum) of every note-on."""
    midi = mido.MidiFile(path)
    onsets = set()
    for track in midi.tracks:
        tick = 0
        for message in track:
            tick += message.time
            if message.type == "note_on" and message.velocity > 0:
                at = tick * 48
                assert at % midi.ticks_per_beat == 0, "an onset between two ticks"
                onsets.add((at // midi.ticks_per_beat, message.note, message.channel == 9))
    return onsets


STEPS = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}


def musicxml_onsets(text):
    """The set of (tick, key, drum) of every note of a MusicXML text as it is
    played: repeats unrolled, a note tied from the one before not struck."""
    root = ET.fromstring(text)
    unpitched = {}
    for instrument in root.iter("midi-instrument"):
        key = instrument.find("midi-unpitched")
        if key is not None:
            unpitched[instrument.get("id")] = int(key.text) - 1
    onsets = set()
    for part in root.iter("part"):
        measures = part.findall("measure")
        order, i, start, passes = [], 0, 0, {}
        while i < len(measures):
            m = measures[i]
            if m.find("barline/repeat[@direction='forward']") is not None:
                start = i
            order.append(m)
            back = m.find("barline/repeat[@direction='backward']")
            if back is not None:
                passes[i] = passes.get(i, 1) + 1
                if passes[i] <= int(back.get("times", "2")):
                    i = start
                    continue
            i += 1
        tick = 0
        for m in order:
            for note in m.iter("note"):
                duration = int(note.find("duration").text)
                tied = any(t.get("type") == "stop" for t in note.findall("tie"))
                if note.find("rest") is None and not tied:
                    pitch = note.find("pitch")
                    if pitch is not None:
                        alter = pitch.find("alter")
                        key = (12 * (int(pitch.find("octave").text) + 1)
                               + STEPS[pitch.find("step").text]
                               + (int(alter.text) if alter is not None else 0))
                        onsets.add((tick, key, False))
                    else:
                        onsets.add((tick, unpitched[note.find("instrument").get("id")], True))
                tick += duration
    return onsets


class Notation(Scratch):
    def export(self, label, text, name):
        self.write("tune.qvl", text)
        r = self.run_cli("--export", name, "tune")
        self.assertEqual(r.returncode, 0, label + ": " + r.stderr.decode())
        return self.path(name)

    def validate(self, path, schema="musicxml.xsd"):
        r = subprocess.run(["xmllint", "--noout", "--nonet", "--schema",
                            os.path.join(SCHEMA, schema), path], capture_output=True,
                           env=dict(os.environ, XML_CATALOG_FILES=os.path.join(SCHEMA, "catalog.xml")),
                           timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])

    def midi_of(self, label, text):
        self.write("tune.qvl", text)
        r = self.run_cli("--midi", "tune")
        self.assertEqual(r.returncode, 0, label + ": " + r.stderr.decode())
        return midi_onsets(self.path("tune.mid"))


class Schema(Notation):
    def test_valid_and_the_notes_of_the_midi_file(self):
        needed("xmllint")
        for label, text in all_scores().items():
            with self.subTest(label):
                path = self.export(label, text, "tune.musicxml")
                self.validate(path)
                with open(path, encoding="utf-8") as f:
                    got = musicxml_onsets(f.read())
                want = self.midi_of(label, text)
                self.assertGreater(len(want), 0)
                self.assertEqual(sorted(got), sorted(want))

    def test_compressed_container(self):
        needed("xmllint")
        text = examples()["minuet_in_g"]
        plain = self.export("minuet", text, "tune.musicxml")
        packed = self.export("minuet", text, "tune.MXL")
        with zipfile.ZipFile(packed) as z:
            names = z.namelist()
            self.assertEqual(names[0], "mimetype")
            self.assertEqual(z.getinfo("mimetype").compress_type, zipfile.ZIP_STORED)
            self.assertEqual(z.read("mimetype"), b"application/vnd.recordare.musicxml")
            container = ET.fromstring(z.read("META-INF/container.xml"))
            root = container.find("rootfiles/rootfile").get("full-path")
            with open(plain, "rb") as f:
                self.assertEqual(z.read(root), f.read())
            z.extract("META-INF/container.xml", self.dir)
        self.validate(self.path("META-INF/container.xml"), "container.xsd")

    def test_cut_by_from_and_to(self):
        text = examples()["drunken_sailor"]
        self.write("tune.qvl", text)
        for args in (("--from", "3", "--to", "5"), ("--from", "10"), ("--to", "1")):
            with self.subTest(args):
                r = self.run_cli(*args, "--export", "cut.musicxml", "--midi=cut.mid", "tune")
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                with open(self.path("cut.musicxml"), encoding="utf-8") as f:
                    got = musicxml_onsets(f.read())
                self.assertEqual(sorted(got), sorted(midi_onsets(self.path("cut.mid"))))

    def test_a_failed_export_leaves_nothing(self):
        self.write("tune.qvl", TABLE["keys"])
        for name in ("missing/tune.mxl", "missing/tune.musicxml"):
            r = self.run_cli("--export", name, "tune")
            self.assertEqual(r.returncode, 4, r.stderr.decode())
            self.assertIn(name, r.stderr.decode())
        self.assertEqual(sorted(os.listdir(self.dir)), ["tune.qvl"])
        r = self.run_cli("--export", "tune.musicxm", "tune")
        self.assertEqual(r.returncode, 1)
        self.assertIn(".musicxml .mxl", r.stderr.decode())
        self.assertEqual(sorted(os.listdir(self.dir)), ["tune.qvl"])


class LilyPond(Notation):
    def test_read_back_without_failed_bar_checks(self):
        needed("musicxml2ly")
        needed("lilypond")
        for label, text in all_scores().items():
            with self.subTest(label):
                path = self.export(label, text, "tune.musicxml")
                r = subprocess.run(["musicxml2ly", "--output=tune.ly", path], cwd=self.dir,
                                   capture_output=True, timeout=300)
                self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
                r = subprocess.run(["lilypond", "--loglevel=WARNING", "-o", "tune", "tune.ly"],
                                   cwd=self.dir, capture_output=True, timeout=600)
                log = r.stdout.decode() + r.stderr.decode()
                self.assertEqual(r.returncode, 0, log[-2000:])
                self.assertNotIn("barcheckfailed", log.lower().replace(" ", ""), log[-2000:])
                self.assertTrue(os.path.exists(self.path("tune.pdf")))
                os.remove(self.path("tune.pdf"))


class MuseScore(Notation):
    def test_read_back_plays_the_same_notes(self):
        needed("mscore3")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen",
                   XDG_RUNTIME_DIR=self.dir, HOME=self.dir)
        for label, text in all_scores().items():
            for name in ("tune.musicxml",) + (("tune.mxl",) if label == "minuet_in_g" else ()):
                with self.subTest(label, file=name):
                    path = self.export(label, text, name)
                    if os.path.exists(self.path("read.mid")):
                        os.remove(self.path("read.mid"))
                    r = subprocess.run(["mscore3", "-o", "read.mid", path], cwd=self.dir,
                                       capture_output=True, env=env, timeout=300)
                    self.assertEqual(r.returncode, 0, r.stderr.decode()[-2000:])
                    got = midi_onsets(self.path("read.mid"))
                    self.assertEqual(sorted(got), sorted(self.midi_of(label, text)))


if __name__ == "__main__":
    unittest.main()
