"""The built program end to end: exact standard output, exit statuses, WAVE
bytes and CRC lines, run in a scratch directory."""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from prompt_session import PromptSession  # noqa: E402
from quarvel_testing import BINARY, Scratch as SharedScratch, crc_of  # noqa: E402,F401

USAGE = (
    "  usage: quarvelcd [-o][-p][-gxx][-w][-c] quarvelfile\n"
    "  compiles and plays 'quarvelfile' using combined parsing\n"
    "  -o use Quarvel parsing\n"
    "  -p use Lutera parsing\n"
    "  -gxx begin playing at Part xx\n"
    "  -w write .wav file\n"
    "  -c compute CRC32\n"
)

TUNE = (
    "/ a small tune in two voices\n"
    "=60 V1 Q1 2 3 4 M V2 JBR80010002F YB _ I1' 1' 5; 5, M\n"
    "V1 K1# H5 3' M P01 V1 Q1 -1 M R01 P02 V3 Z3 Q.5#\n"
)




class Scratch(SharedScratch):
    prefix = "quarvel-cli-"

    def run_cli(self, *args, stdin=b"", env=None, cwd=None):
        return super().run_cli(*args, stdin=stdin, env=env, cwd=cwd, timeout=120)


class CommandLine(Scratch):
    def test_usage_cases(self):
        for args in ([], ["-x", "tune"], ["tune", "-w"], ["one", "two"], ["-", "tune"]):
            with self.subTest(args=args):
                r = self.run_cli(*args)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout.decode(), USAGE)

    def test_help_and_version(self):
        for args in (["--help"], ["--help", "tune"], ["-w", "tune", "--help"]):
            with self.subTest(args=args):
                r = self.run_cli(*args)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
                out = r.stdout.decode()
                self.assertTrue(out.startswith(USAGE))
                for option in ("--help", "--version", "--from", "--to", "--loop", "--watch",
                               "--check", "--json", "--warn", "--no-warn", "--midi", "--export"):
                    self.assertIn("  " + option, out)
        r = self.run_cli("--version")
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertRegex(r.stdout.decode(), r"^quarvelcd 2\.3 \(libquarvel \d+\.\d+\.\d+\)\n$")

    def test_extension_in_other_letter_case(self):
        self.write("TUNE.QVL", "Q1")
        self.write("Song.Qvl", "Q2")
        self.write("both.QVL", "Q3")
        self.write("both.qvl", "Q1")
        for name, read in (("TUNE", "TUNE.QVL"), ("TUNE.qvl", "TUNE.QVL"), ("Song", "Song.Qvl"),
                           ("both", "both.qvl")):
            with self.subTest(name=name):
                r = self.run_cli("-c", name)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertTrue(r.stdout.decode().endswith(" %s\n" % self.path(read)))
        r = self.run_cli("-c", "tune")  # the name itself keeps its letters
        self.assertEqual(r.returncode, 1)

    def test_lone_switch_is_the_score_name(self):
        r = self.run_cli("-w")
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout.decode(),
                         "QuarvelCD v2.3\nexit 1 %s\n" % self.path("-w.qvl"))

    def test_paths_of_score_and_wave_file(self):
        os.makedirs(os.path.join(self.dir, "dir.v2", "sub"))
        self.write("dir.v2/tune.qvl", "Q1")
        self.write("my.song.qvl", "Q1")
        cases = [
            ("dir.v2/tune.txt", ".", "dir.v2/tune.qvl", "dir.v2/tune.wav"),
            ("../tune", "dir.v2/sub", "dir.v2/tune.qvl", "../tune.wav"),
            ("./tune", "dir.v2", "dir.v2/tune.qvl", "./tune.wav"),
            ("my.song.qvl", ".", "my.song.qvl", "my.song.wav"),
        ]
        for name, cwd, source, wav in cases:
            with self.subTest(name=name):
                r = self.run_cli("-c", "-w", name, cwd=os.path.join(self.dir, cwd))
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertTrue(r.stdout.decode().endswith(" %s\n" % self.path(source)))
                self.assertTrue(os.path.exists(os.path.join(self.dir, cwd, wav)))

    def test_unreadable_scores_end_with_status_1(self):
        os.mkdir(os.path.join(self.dir, "folder.qvl"))
        os.mkfifo(os.path.join(self.dir, "pipe.qvl"))
        for name in ("missing", "folder", "pipe", "n" * 4000):
            with self.subTest(name=name[:20]):
                r = self.run_cli("-c", name)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout.decode(), "exit 1 %s\n" % self.path(name + ".qvl"))
                self.assertIn("quarvelcd: cannot read", r.stderr.decode())

    def test_names_with_spaces_and_other_bytes(self):
        name = "my t\xfcne \u266a"
        self.write(name + ".qvl", "Q1")
        r = self.run_cli("-c", name + ".txt")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.decode().endswith(" %s\n" % self.path(name + ".qvl")))


class Rendering(Scratch):
    def render_both(self, text, *switches):
        self.write("tune.qvl", text)
        crc = self.run_cli(*switches, "-c", "tune")
        wav = self.run_cli(*switches, "-w", "tune")
        self.assertEqual(crc.returncode, 0, crc.stderr)
        self.assertEqual(wav.returncode, 0, wav.stderr)
        with open(os.path.join(self.dir, "tune.wav"), "rb") as f:
            data = f.read()
        return crc.stdout.decode(), wav.stdout.decode(), data

    def check_wave(self, data):
        frames = (len(data) - 46) // 4
        self.assertEqual(len(data), 46 + 4 * frames)
        self.assertEqual(data[:4], b"RIFF")
        self.assertEqual(struct.unpack("<I", data[4:8])[0], 38 + 4 * frames)
        self.assertEqual(data[8:38], b"WAVEfmt " + struct.pack("<IHHIIHHH", 18, 1, 2, 44100,
                                                                 176400, 4, 16, 0))
        self.assertEqual(data[38:42], b"data")
        self.assertEqual(struct.unpack("<I", data[42:46])[0], 4 * frames)
        return frames

    def test_wave_data_is_what_the_crc_covers(self):
        for switches in ((), ("-o",), ("-p",)):
            with self.subTest(switches=switches):
                crc_line, wav_line, data = self.render_both(TUNE, *switches)
                frames = self.check_wave(data)
                self.assertGreater(frames, 0)
                self.assertEqual(crc_line, "%08X %s\n" % (crc_of(data[46:]), self.path("tune.qvl")))
                seconds = frames / 44100.0
                minutes = seconds // 60
                self.assertEqual(wav_line, "tune.wav %1.0f:%02.2f\n" % (minutes, seconds - minutes * 60))

    def test_a_quarter_note_at_the_defaults(self):
        crc_line, wav_line, data = self.render_both("Q1")
        self.assertEqual(self.check_wave(data), 30912)
        self.assertEqual(wav_line, "tune.wav 0:0.70\n")

    def test_empty_score(self):
        crc_line, wav_line, data = self.render_both("")
        self.assertEqual(crc_line, "FFFFFFFF %s\n" % self.path("tune.qvl"))
        self.assertEqual(wav_line, "tune.wav 0:0.00\n")
        self.assertEqual(len(data), 46)
        self.assertEqual(struct.unpack("<I", data[4:8])[0], 38)

    def test_from_and_to_cut_the_rendering_exactly(self):
        # Bars of 96, 72, 96 and 48 ticks; a tick lasts 644 frames at the defaults.
        self.write("tune.qvl", "Q 0 1 M\nI 2 3 4 M\nH 5 M Q 6 M\n")
        tick = 30912 // 48
        whole = self.run_cli("-w", "tune")
        with open(os.path.join(self.dir, "tune.wav"), "rb") as f:
            full = f.read()[46:]
        self.assertEqual(len(full), 4 * tick * 312)
        cases = [  # options, first tick, end tick, the bars the file holds
            (("--from", "2"), 96, 312, "bars 2 to 4 of 4"),
            (("--from=3", "--to=3"), 168, 264, "bar 3 of 4"),
            (("--to", "1"), 0, 96, "bar 1 of 4"),
            (("--from", "4", "--to", "4"), 264, 312, "bar 4 of 4"),
            (("--from", "2:1"), 96, 312, "bars 2 to 4 of 4"),  # before bar 2's first note: bar 2
            (("--from", "1:5"), 0, 312, "bars 1 to 4 of 4"),   # inside bar 1
            (("-g02", "--from", "2"), 96, 312, "bars 2 to 4 of 4"),  # -g does not cut a range
        ]
        for options, first, end, bars in cases:
            with self.subTest(options=options):
                wav = self.run_cli("-w", *options, "tune")
                self.assertEqual(wav.returncode, 0, wav.stderr)
                self.assertEqual(wav.stderr.decode(), "quarvelcd: tune.wav holds %s only "
                                 "(--from/--to), not the whole score\n" % bars)
                with open(os.path.join(self.dir, "tune.wav"), "rb") as f:
                    data = f.read()
                self.assertEqual(self.check_wave(data), (end - first) * tick)
                self.assertEqual(data[46:], full[4 * tick * first:4 * tick * end])
                crc = self.run_cli("-c", *options, "tune")
                self.assertEqual(crc.stdout.decode(),
                                 "%08X %s\n" % (crc_of(data[46:]), self.path("tune.qvl")))
                self.assertEqual(crc.stderr, b"", "no file, nothing to say")
        self.assertEqual((whole.returncode, whole.stderr), (0, b""))
        cut = self.run_cli("--midi=cut.mid", "--export=cut.wav", "--from=3", "tune")
        self.assertEqual(cut.returncode, 0, cut.stderr)
        for name in ("cut.mid", "cut.wav"):
            self.assertIn("quarvelcd: %s holds bars 3 to 4 of 4 only" % name, cut.stderr.decode())

    def test_bad_ranges_end_with_status_1(self):
        self.write("tune.qvl", "Q 0 1 M\n2 M\n")
        cases = [
            (("--from", "3"), "there is no bar 3 (the score has 2)"),
            (("--from", "2", "--to", "1"), "ends (bar 1) before it starts (bar 2)"),
            (("--from", "x"), "--from: 'x' is not a bar number"),
            (("--from", "0"), "bars are numbered from 1"),
            (("--to", "1:2"), "--to: '1:2' is not a bar number"),
            (("--from", "7:1"), "no bar at or after line 7 column 1"),
            (("--loop",), "--loop plays"),
            (("--watch",), "--watch plays"),
        ]
        for options, message in cases:
            with self.subTest(options=options):
                r = self.run_cli("-c", *options, "tune")
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout.decode(), "exit 1 %s\n" % self.path("tune.qvl"))
                self.assertIn(message, r.stderr.decode())
                self.assertEqual(r.stderr.decode().count("\n"), 1)

    def test_start_part_applies_only_to_playing(self):
        self.write("tune.qvl", TUNE)
        whole = self.run_cli("-c", "tune").stdout
        self.assertEqual(self.run_cli("-g02", "-c", "tune").stdout, whole)
        self.assertEqual(self.run_cli("-c", "-g02", "tune").stdout, whole)

    def test_odd_bytes_in_the_score(self):
        cases = {
            "nul byte": (b"Q1\x00", 3),
            "end mark mid-file ignores the rest": (b"Q1 \xff garbage ###", 0),
            "only line ends": (b"\r\n\n\r\r\n", 0),
            "no final line end": (b"Q1 2", 0),
            "hex field cut off by the end": (b"JAS12", 3),
            "binary": (bytes(range(256)) * 4, 3),
        }
        for label, (text, status) in cases.items():
            with self.subTest(label):
                self.write("odd.qvl", text)
                r = self.run_cli("-c", "odd")
                self.assertEqual(r.returncode, status, r.stderr)
                if status:
                    self.assertEqual(r.stdout.decode(), "exit 3 %s\n" % self.path("odd.qvl"))

    def test_wave_file_failures_end_with_status_4(self):
        self.write("tune.qvl", TUNE)
        os.mkdir(os.path.join(self.dir, "folder.wav"))
        self.write("folder.qvl", TUNE)
        os.symlink("/dev/full", os.path.join(self.dir, "full.wav"))
        self.write("full.qvl", TUNE)
        for name in ("folder", "full"):
            with self.subTest(name=name):
                r = self.run_cli("-w", name)
                self.assertEqual(r.returncode, 4)
                self.assertEqual(r.stdout.decode(), "exit 4 %s\n" % self.path(name + ".qvl"))
                self.assertTrue(r.stderr.decode().startswith("quarvelcd: "))

    def test_result_line_that_cannot_be_delivered_is_a_failure(self):
        self.write("tune.qvl", "Q1")
        r = subprocess.run("%s -c tune >&-" % BINARY, shell=True, cwd=self.dir,
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 4)
        self.assertIn(b"quarvelcd: ", r.stderr)


class Errors(Scratch):
    def test_compile_error_without_playing_prints_only_the_exit_line(self):
        self.write("bad.qvl", "Q1 2\n  K9#\n")
        r = self.run_cli("-c", "bad")
        self.assertEqual(r.returncode, 3)
        self.assertEqual(r.stdout.decode(), "exit 3 %s\n" % self.path("bad.qvl"))
        self.assertEqual(r.stderr.decode(),
                         "quarvelcd: %s:2:4: error 3: a key signature has 0 to 7 sharps or flats\n"
                         "    K9#\n     ^\n" % self.path("bad.qvl"))

    def test_banner_echo_report_and_prompt_when_playing(self):
        lines = "l1\r\nl2\n\rl4\rl5\n\nl7\r\nl8\nl9\n"
        self.write("bad.qvl", "/" + lines + "V6")
        r = self.run_cli("bad", stdin=b"x")
        self.assertEqual(r.returncode, 3)
        self.assertEqual(r.stdout.decode(),
                         "QuarvelCD v2.3\n/l1\nl2\n\nl4\nl5\n\nl7\nl8\n\n"
                         "error:3 near line:9 col:2\n"
                         "press <space> to edit; any other to quit\n"
                         "exit 3 %s\n" % self.path("bad.qvl"))

    def test_short_score_is_echoed_whole(self):
        self.write("bad.qvl", "\tZA")
        r = self.run_cli("bad", stdin=b"")
        self.assertEqual(r.returncode, 3)
        self.assertEqual(r.stdout.decode().splitlines()[:4],
                         ["QuarvelCD v2.3", "\tZA", "", "error:3 near line:1 col:3"])

    def editor(self):
        log = os.path.join(self.dir, "editor.log")
        script = self.write("fake-editor", "#!/bin/sh\nprintf '%%s\\n' \"$0\" \"$@\" > %s\nexit 7\n" % log)
        os.chmod(script, 0o755)
        return script, log

    def test_space_at_the_prompt_hands_over_to_the_editor(self):
        script, log = self.editor()
        self.write("bad.qvl", "V0")
        r = self.run_cli("bad", stdin=b" ", env={"QUARVEL_EDIT": script})
        self.assertEqual(r.returncode, 7)  # the editor's own status
        with open(log) as f:
            self.assertEqual(f.read(), "%s\n%s\n" % (script, self.path("bad.qvl")))
        self.assertNotIn("exit", r.stdout.decode())

    def test_editor_missing_or_unset(self):
        self.write("bad.qvl", "V0")
        unset = {"VISUAL": "", "EDITOR": ""}
        cases = [(unset, "can't read environment QUARVEL_EDIT\n",
                  "no editor to open %s: set QUARVEL_EDIT, VISUAL or EDITOR" % self.path("bad.qvl")),
                 (dict(unset, QUARVEL_EDIT="no-such-editor-here"),
                  "can't exec editor: no-such-editor-here\n",
                  "cannot start the editor 'no-such-editor-here'")]
        for env, message, hint in cases:
            with self.subTest(env=env):
                r = self.run_cli("bad", stdin=b" ", env=env)
                self.assertEqual(r.returncode, 3)
                self.assertTrue(r.stdout.decode().endswith(
                    "press <space> to edit; any other to quit\n%sexit 3 %s\n"
                    % (message, self.path("bad.qvl"))))
                self.assertIn("quarvelcd: " + hint, r.stderr.decode())


class EditorCommand(Scratch):
    """The editor's command line from QUARVEL_EDIT, VISUAL or EDITOR, and the
    error's line for the editors that take "+LINE"."""

    def fake(self, name):
        log = os.path.join(self.dir, "argv.log")
        script = self.write("bin/" + name,
                            "#!/bin/sh\nprintf '%%s\\n' \"$0\" \"$@\" > %s\nexit 7\n" % log)
        os.chmod(script, 0o755)
        return script, log

    def test_command_lines_and_line_argument(self):
        self.write("bad.qvl", "Q1\nQ2 V0\n")  # error 3 on line 2
        source = self.path("bad.qvl")
        vim, log = self.fake("vim")
        code, _ = self.fake("code")
        spaced, _ = self.fake("my editor")
        cases = [  # environment, argv the editor sees
            ({"QUARVEL_EDIT": vim}, [vim, "+2", source]),
            ({"QUARVEL_EDIT": vim + " -n"}, [vim, "-n", "+2", source]),
            ({"QUARVEL_EDIT": code + " --wait"}, [code, "--wait", source]),
            ({"QUARVEL_EDIT": "'%s' -a 'b c'" % spaced}, [spaced, "-a", "b c", source]),
            ({"VISUAL": vim, "EDITOR": code}, [vim, "+2", source]),
            ({"EDITOR": code + " -w"}, [code, "-w", source]),
            ({"QUARVEL_EDIT": code, "VISUAL": vim}, [code, source]),
        ]
        for env, argv in cases:
            with self.subTest(env=env):
                if os.path.exists(log):
                    os.remove(log)
                full = {"VISUAL": "", "EDITOR": ""}
                full.update(env)
                r = self.run_cli("bad", stdin=b" ", env=full)
                self.assertEqual(r.returncode, 7, r.stderr)
                with open(log) as f:
                    self.assertEqual(f.read().split("\n")[:-1], argv)

    def test_editor_that_cannot_start_says_why(self):
        self.write("bad.qvl", "V0")
        plain = self.write("not-executable", "")
        cases = [
            ({"QUARVEL_EDIT": plain}, plain, "Permission denied"),
            ({"QUARVEL_EDIT": "no-such-editor-here -x"}, "no-such-editor-here -x",
             "No such file or directory"),
            ({"QUARVEL_EDIT": "vim 'open"}, "vim 'open", "not closed"),
            ({"VISUAL": "no-such-visual"}, "no-such-visual", "No such file or directory"),
        ]
        for env, shown, reason in cases:
            with self.subTest(env=env):
                full = {"VISUAL": "", "EDITOR": ""}
                full.update(env)
                r = self.run_cli("bad", stdin=b" ", env=full)
                self.assertEqual(r.returncode, 3)
                self.assertIn("can't exec editor: %s\nexit 3 " % shown, r.stdout.decode())
                self.assertIn(reason, r.stderr.decode())


class Terminal(Scratch):
    def test_prompt_under_a_terminal_restores_its_modes(self):
        import termios
        self.write("bad.qvl", "V0")
        session = PromptSession(BINARY, self.dir)
        self.assertFalse(session.modes_waiting[3] & termios.ECHO)
        self.assertFalse(session.modes_waiting[3] & termios.ICANON)
        os.write(session.fd, b"q")
        self.assertEqual(session.finish(), 3)
        self.assertIn(b"exit 3 ", session.output)
        # The key was not echoed: the exit line follows the prompt directly.
        self.assertTrue(session.output.split(b"quit")[-1].startswith(b"\r\nexit 3 "))
        self.assertEqual(session.modes_after, session.modes_before)

class Documentation(Scratch):
    """Every score in the language guide and the README is compiled, so they
    cannot drift from the program: plain blocks must compile and render, error
    blocks must fail with their number."""

    ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")

    def blocks(self):
        found = []
        for document in (("docs", "language.md"), ("README.md",)):
            with open(os.path.join(self.ROOT, *document), encoding="utf-8") as f:
                lines = f.read().split("\n")
            current, kind = None, None
            for number, line in enumerate(lines, 1):
                if current is None and line.startswith("```qvl"):
                    current, kind, start = [], line[3:], "%s:%d" % (document[-1], number)
                elif current is not None and line.startswith("```"):
                    found.append((start, kind, "\n".join(current) + "\n"))
                    current = None
                elif current is not None:
                    current.append(line)
        return found

    def test_every_guide_example(self):
        blocks = self.blocks()
        self.assertGreaterEqual(len(blocks), 20)
        for start, kind, text in blocks:
            with self.subTest(line=start):
                self.write("example.qvl", text)
                r = self.run_cli("-c", "example")
                if kind == "qvl":
                    self.assertEqual(r.returncode, 0, r.stderr.decode())
                    self.assertNotEqual(r.stdout.decode().split()[0], "FFFFFFFF", "no sound")
                    self.assertEqual(r.stderr.decode(), "", "an example with warnings")
                elif kind.startswith("qvl-warning-"):
                    # A trap shown on purpose: it compiles, sounds, and warns
                    # by its name (the ones off by default when asked).
                    name = kind[len("qvl-warning-"):]
                    self.assertEqual(r.returncode, 0, r.stderr.decode())
                    self.assertNotEqual(r.stdout.decode().split()[0], "FFFFFFFF", "no sound")
                    r = self.run_cli("--warn=all", "-c", "example")
                    self.assertIn(" [%s]\n" % name, r.stderr.decode())
                else:
                    number = kind.rsplit("-", 1)[1]
                    self.assertEqual(r.returncode, 3)
                    self.assertIn(": error %s: " % number, r.stderr.decode())

    def test_every_warning_is_documented_with_its_default(self):
        # The program's own list (--help) against the guide, the manual page
        # and the C header, which are written by hand.
        out = self.run_cli("--help").stdout.decode()
        listed = re.findall(r"^  ([a-z-]+)(\*?) ", out.split("\nwarnings ", 1)[1], re.M)
        self.assertGreaterEqual(len(listed), 16)

        def read(*path):
            with open(os.path.join(self.ROOT, *path), encoding="utf-8") as f:
                return f.read()

        guide, manual, header = read("docs", "language.md"), read("docs", "quarvelcd.1"), \
            read("include", "quarvel.h.in")
        manual_list = re.search(r"on by default:\n(.*?)\n\.RB", manual, re.S).group(1)
        for name, star in listed:
            with self.subTest(name=name):
                self.assertIn("**`%s`**" % name, guide)
                self.assertEqual("**`%s`** (on request)" % name in guide, not star)
                self.assertRegex(manual_list, r"(^|[ \n])%s%s(,|$)" % (re.escape(name),
                                                                       re.escape(star)))
                entry = re.search(r"^ \*   %s( \(default\))? " % re.escape(name), header, re.M)
                self.assertIsNotNone(entry)
                self.assertEqual(entry.group(1) is not None, bool(star))

    def test_bundled_examples_render(self):
        folder = os.path.join(self.ROOT, "examples")
        scores = sorted(f for f in os.listdir(folder) if f.endswith(".qvl"))
        self.assertTrue(scores)
        for name in scores:
            with self.subTest(name=name):
                r = self.run_cli("-c", os.path.join(folder, name))
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                self.assertEqual(r.stderr, b"")
                # Every warning asked for: only the ties over bar lines they mean.
                r = self.run_cli("--check", "--warn=all", os.path.join(folder, name))
                names = {line.rsplit("[", 1)[1].rstrip("]")
                         for line in r.stderr.decode().splitlines() if ": warning: " in line}
                self.assertLessEqual(names, {"tie-across-bar"}, r.stderr.decode())


class Diagnostics(Scratch):
    """Warnings on standard error, --check and --json, and the positions of
    errors: standard output of the old modes stays as it was."""

    TRAPS = "Q1 2 3 4 V2 H1 M\nQ U+7 G M/x\n"

    def test_warnings_in_every_mode_leave_standard_output_alone(self):
        self.write("trap.qvl", self.TRAPS)
        self.write("clean.qvl", "Q1 2 3 4 V2 H1 $ M\nQ U+7 5 M\n")
        path = self.path("trap.qvl")
        expected = (
            "quarvelcd: %s:1:16: warning: the voices of this bar differ in length: voice 1 has "
            "192 ticks (a whole note), voice 2 has 96 ticks (a half note); the bar lasts 192 "
            "ticks, and a shorter voice falls silent for the rest of it; check the duration "
            "letters of voice 2, or fill the bar with rests (`$`) [bar-length]\n"
            "  Q1 2 3 4 V2 H1 M\n                 ^\n" % path)
        for switches in (("-c",), ("-w",)):
            with self.subTest(switches=switches):
                r = self.run_cli(*switches, "trap")
                clean = self.run_cli(*switches, "clean")
                self.assertEqual(r.returncode, 0)
                self.assertTrue(r.stderr.decode().startswith(expected), r.stderr.decode())
                self.assertEqual(r.stderr.decode().count(": warning: "), 3)
                self.assertIn("[pitch-fold]", r.stderr.decode())
                self.assertIn("[glued-bar-line]", r.stderr.decode())
                self.assertEqual(clean.stderr, b"")
                self.assertEqual(len(r.stdout.decode().splitlines()), 1)
        played = self.run_cli("trap", stdin=b"")  # no device: status 4 after the warnings
        self.assertTrue(played.stdout.decode().startswith("QuarvelCD v2.3\nQ1 2 3 4"))
        self.assertIn("[bar-length]", played.stderr.decode())

    def test_switches_choose_the_printed_warnings(self):
        self.write("trap.qvl", self.TRAPS)
        cases = [
            ((), {"bar-length", "pitch-fold", "glued-bar-line"}),
            (("--no-warn=all",), set()),
            (("--no-warn=all", "--warn=pitch-fold"), {"pitch-fold"}),
            (("--no-warn=bar-length,glued-bar-line",), {"pitch-fold"}),
            (("--warn=all", "--no-warn=pitch-fold"), {"bar-length", "glued-bar-line"}),
        ]
        for switches, names in cases:
            with self.subTest(switches=switches):
                r = self.run_cli(*switches, "--check", "trap")
                self.assertEqual(r.returncode, 0)
                self.assertEqual(r.stdout, b"")
                found = {line.rsplit("[", 1)[1].rstrip("]") for line in r.stderr.decode().splitlines()
                         if ": warning: " in line}
                self.assertEqual(found, names)

    def test_unknown_warning_name_is_a_usage_error(self):
        self.write("trap.qvl", self.TRAPS)
        for switch in ("--warn=bar-lenght", "--no-warn=pitch-fold,nope"):
            with self.subTest(switch=switch):
                r = self.run_cli(switch, "-c", "trap")
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout.decode(), USAGE)
                self.assertIn("unknown warning", r.stderr.decode())

    def test_check_status_and_outputs(self):
        cases = [
            # text, switches, status, stderr pieces
            ("Q1 2 3 4 M", (), 0, []),
            ("Q1 V6 2", (), 3, [":1:5: error 3: `V` takes a voice 1 to 5; found `6`\n"
                                "  Q1 V6 2\n      ^\n"]),
            ("Q1\n=4\n\n\n", (), 3, [":2:3: error 2: the tempo `=` takes two hexadecimal"]),
            ("P01 Q1 M", ("-g02",), 0, [": warning: no part is numbered 02 (-g02)"]),
            ("P01 Q1 M", ("-g01",), 0, []),
            ("Q1 M/ comment", (), 3, ["[glued-bar-line]", "error 2"]),
        ]
        for text, switches, status, pieces in cases:
            with self.subTest(text=text, switches=switches):
                self.write("score.qvl", text)
                r = self.run_cli("--check", *switches, "score")
                self.assertEqual(r.returncode, status)
                self.assertEqual(r.stdout, b"", "no banner, no echo, no exit line")
                self.assertFalse(os.path.exists(os.path.join(self.dir, "score.wav")))
                for piece in pieces:
                    self.assertIn(piece, r.stderr.decode())
                if not pieces:
                    self.assertEqual(r.stderr, b"")
        r = self.run_cli("--check", "missing")
        self.assertEqual((r.returncode, r.stdout), (1, b""))

    def test_another_file_by_the_name_given(self):
        # The score is read by the name with .qvl; a different file of the
        # name as typed is named on standard error, in every mode.
        self.write("minuet.qvl", "Q1 2 3 4 M")
        self.write("minuet.draft", "Q1 V9")
        os.symlink("minuet.qvl", os.path.join(self.dir, "link.draft"))
        self.write("link.qvl", "Q1 2 3 4 M")
        os.mkdir(os.path.join(self.dir, "dir.d"))
        self.write("dir.qvl", "Q1 2 3 4 M")
        note = ("quarvelcd: reading minuet.qvl, not minuet.draft: the score is always read from "
                "the name with its extension replaced by .qvl")
        for switches in (("--check",), ("-c",), ("-w",), ("--check", "--json")):
            with self.subTest(switches=switches):
                r = self.run_cli(*switches, "minuet.draft")
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertTrue(r.stderr.decode().startswith(note), r.stderr)
        for name in ("minuet", "minuet.qvl", "dir.d"):
            with self.subTest(name=name):
                r = self.run_cli("--check", name)
                self.assertEqual((r.returncode, r.stderr), (0, b""))
        # Another name of another file is still another file.
        self.assertIn(b"reading link.qvl, not link.draft", self.run_cli("-c", "link.draft").stderr)

    def test_json_lines_read_back(self):
        name = "odd \"n\xe4me\\"
        self.write(name + ".qvl",
                   b"Q1 2 3 4 V2 H1 M\nMx\x01\xfe\nQ U+7 G M\n(V9")
        r = self.run_cli("--check", "--json", "-g05", name)
        self.assertEqual(r.returncode, 3)
        self.assertEqual(r.stderr, b"")
        objects = [json.loads(line) for line in r.stdout.decode("utf-8").splitlines()]
        self.assertEqual([(o["severity"], o["code"], o["line"], o["column"]) for o in objects],
                         [("warning", "bar-length", 1, 16),
                          ("warning", "glued-bar-line", 2, 2),
                          ("warning", "pitch-fold", 3, 7),
                          ("error", "3", 4, 3)])
        for o in objects:
            self.assertEqual(o["file"], self.path(name + ".qvl"))
        self.assertEqual(objects[1]["endColumn"], 4)
        self.assertIn("skips `x??`", objects[1]["message"])
        self.assertEqual(objects[3]["number"], 3)
        self.assertNotIn("endColumn", objects[2])
        # A compiled score: the start part that no part has has no place.
        self.write("parts.qvl", "P01 Q1 M")
        r = self.run_cli("--check", "--json", "-g05", "parts")
        self.assertEqual(r.returncode, 0)
        (start,) = [json.loads(line) for line in r.stdout.decode().splitlines()]
        self.assertEqual((start["code"], start["line"], start["column"]), ("start-part", None, None))
        # A score that cannot be read is a diagnostic like the others.
        os.mkdir(os.path.join(self.dir, "folder.qvl"))
        for missing, reason in (("missing", "No such file or directory"),
                                ("folder", "Is a directory")):
            r = self.run_cli("--check", "--json", missing)
            self.assertEqual((r.returncode, r.stderr), (1, b""))
            (error,) = [json.loads(line) for line in r.stdout.decode().splitlines()]
            self.assertEqual((error["severity"], error["code"], error["line"], error["file"]),
                             ("error", "unreadable", None, self.path(missing + ".qvl")))
            self.assertTrue(error["message"].endswith(reason), error["message"])

    def test_play_mode_report_keeps_its_numbers(self):
        # At the end of the text the report names the line after the last
        # one, as it always did; standard error points into the file.
        self.write("bad.qvl", "Q1\n=4")
        r = self.run_cli("bad", stdin=b"x")
        self.assertIn("error:2 near line:3 col:0\n", r.stdout.decode())
        self.assertIn("bad.qvl:2:3: error 2: the tempo `=` takes two hexadecimal digits, 02 to FF;"
                      " found the end of the text\n  =4\n    ^\n", r.stderr.decode())

    @unittest.skipUnless(shutil.which("vim"), "vim is not installed")
    def test_vim_reads_the_plain_output(self):
        # The errorformat the guide gives, applied by Vim itself.
        self.write("trap.qvl", "Q1 2 3 4 V2 H1 M\nQ U+7 G M\nV9\n")
        r = self.run_cli("--check", "trap")
        self.write("out.txt", r.stderr)
        efm = ("quarvelcd:\\ %f:%l:%c:\\ %trror\\ %n:\\ %m,"
               "quarvelcd:\\ %f:%l:%c:\\ %tarning:\\ %m,%-G%.%#")
        script = self.write("read.vim", (
            "set errorformat=%s\n"
            "cgetfile out.txt\n"
            "call writefile(map(getqflist(), {_, e -> e.lnum . ':' . e.col . ':' . e.type . ':'"
            " . e.nr . ':' . bufname(e.bufnr)}), 'qf.txt')\n"
            "qall!\n") % efm)
        subprocess.run(["vim", "-Nu", "NONE", "-es", "-S", script], cwd=self.dir, timeout=60,
                       capture_output=True)
        with open(os.path.join(self.dir, "qf.txt")) as f:
            rows = f.read().split()
        self.assertEqual(rows, ["1:16:w:-1:" + self.path("trap.qvl"),
                                "2:7:w:-1:" + self.path("trap.qvl"),
                                "3:2:e:3:" + self.path("trap.qvl")])


class ManualPage(unittest.TestCase):
    ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")

    @unittest.skipUnless(shutil.which("man"), "man is not installed")
    def test_renders_without_warnings(self):
        page = os.path.join(self.ROOT, "docs", "quarvelcd.1")
        r = subprocess.run(["man", "--warnings", "-l", page], capture_output=True,
                           env=dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat"),
                           timeout=60)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr.decode(), "")
        text = r.stdout.decode()
        for heading in ("SYNOPSIS", "OPTIONS", "KEYS WHILE PLAYING", "ENVIRONMENT", "FILES",
                        "EXIT STATUS", "EXAMPLES"):
            self.assertIn(heading, text)
        for switch in ("-o", "-p", "-gxx", "-w", "-c", "QUARVEL_EDIT", "QUARVEL_DEVICE"):
            self.assertIn(switch, text)


class Examples(Scratch):
    """The bundled example scores: each renders to exactly the pinned sound,
    each says what it is, and together they use the whole language."""

    FOLDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")

    # CRC and playing time of every example, taken from the program's own
    # renderings. Pinning the program's output is sound here only because the
    # renderer is proven frame for frame identical to the plain per-frame
    # reference renderer in the unit tests (player_test); this table
    # then guards the scores themselves and the whole path from text to WAVE
    # file. A score edited on purpose gets its new values here.
    PINNED = {
        "amazing_grace": ("729A8E33", "1:17.12"),
        "drunken_sailor": ("925E05D2", "0:41.37"),
        "frere_jacques": ("066BE524", "0:55.19"),
        "fur_elise": ("9FAF47A0", "0:39.22"),
        "greensleeves": ("12CA5C05", "0:54.28"),
        "minuet_in_g": ("474FE984", "1:33.62"),
        "ode_to_joy": ("AE5837DC", "1:18.44"),
    }

    # What the examples together must show, as patterns over the score text
    # with comments removed and letters folded to upper case.
    FEATURES = {
        "five voices": r"V5",
        "harmonic instrument": r"J[A-E]S[0-9A-F]{9}",
        "pattern instrument": r"J[A-E]R[0-9A-F]{9}",
        "decay rate": r"J[A-E]T[0-9A-F]",
        "instrument choice": r"Y[A-E]",
        "noise drum with quote marks": r"_[^*@]*?[0-9A-F]['\"]",
        "downward steps": r"@",
        "repeat": r"\([^()]*\)[0-9A-F]",
        "numbered part": r"P[0-9A-F]{2}",
        "replay": r"R[0-9A-F]{2}",
        "key signature": r"K[1-7][#&]",
        "sharp": r"(?<!K)[0-9A-G]#",
        "flat": r"(?<!K)[0-9A-G]&",
        "natural": r"(?<!K)[0-9A-G]%",
        "tempo": r"=[0-9A-F]{2}",
        "beat unit": r"N[HQIST]",
        "envelope preset": r"L[0-9A-F]",
        "transposition down": r"<[0-9A-F]",
        "transposition up": r">[0-9A-F]",
        "step offset": r"U[+-]?[0-9A-F]",
        "slot map": r"Z[0-9]",
        "apostrophe": r"[0-9A-G$]'",
        "double quote": r"[0-9A-G$]\"",
        "comma": r"[0-9A-G$],",
        "semicolon": r"[0-9A-G$];",
        "rest": r"\$",
        "triplet": r"[WHQISTX]:",
        "dot": r"[WHQISTX]:?\.",
    }

    def scores(self):
        return sorted(f[:-4] for f in os.listdir(self.FOLDER) if f.endswith(".qvl"))

    def text(self, name):
        with open(os.path.join(self.FOLDER, name + ".qvl"), "rb") as f:
            return f.read().decode("latin-1")

    def music(self, name):
        return "\n".join(line.split("/", 1)[0] for line in self.text(name).split("\n")).upper()

    def test_every_example_is_pinned(self):
        self.assertGreaterEqual(len(self.scores()), 6)
        self.assertEqual(self.scores(), sorted(self.PINNED))

    def test_crc_line_wave_line_and_wave_data(self):
        for name in self.scores():
            with self.subTest(name=name):
                crc_hex, playing = self.PINNED[name]
                self.write(name + ".qvl", self.text(name))
                crc = self.run_cli("-c", name)
                wav = self.run_cli("-w", name)
                self.assertEqual((crc.returncode, crc.stderr), (0, b""))
                self.assertEqual((wav.returncode, wav.stderr), (0, b""))
                self.assertEqual(crc.stdout.decode(), "%s %s\n" % (crc_hex, self.path(name + ".qvl")))
                self.assertEqual(wav.stdout.decode(), "%s.wav %s\n" % (name, playing))
                with open(os.path.join(self.dir, name + ".wav"), "rb") as f:
                    data = f.read()
                self.assertEqual(data[:4] + data[8:12] + data[38:42], b"RIFFWAVEdata")
                self.assertEqual(struct.unpack("<I", data[42:46])[0], len(data) - 46)
                self.assertEqual("%08X" % crc_of(data[46:]), crc_hex)
                seconds = (len(data) - 46) / 4 / 44100.0
                self.assertTrue(20 <= seconds <= 120, seconds)

    def test_each_names_its_piece_origin_and_voices(self):
        for name in self.scores():
            with self.subTest(name=name):
                lines = self.text(name).split("\n")
                head = []
                for line in lines:
                    if not line.startswith("/"):
                        break
                    head.append(line)
                self.assertGreaterEqual(len(head), 2)
                self.assertIn("(public domain)", head[0])
                self.assertIn("voice 1", "\n".join(head))

    def test_together_they_use_the_whole_language(self):
        import re
        music = {name: self.music(name) for name in self.scores()}
        for feature, pattern in self.FEATURES.items():
            with self.subTest(feature=feature):
                self.assertTrue(any(re.search(pattern, text) for text in music.values()),
                                "no example shows " + feature)
        with self.subTest(feature="tempo change"):
            self.assertTrue(any(len(set(re.findall(r"=([0-9A-F]{2})", text))) > 1
                                for text in music.values()))


if __name__ == "__main__":
    unittest.main()
