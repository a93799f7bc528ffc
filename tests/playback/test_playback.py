"""Playing on a real ALSA device: the bytes that reach the device, the pacing
of the renderer against the sound, and the keys typed while it plays.

The byte tests use an ALSA "file" device over "null", which does not play in
real time. The pacing and key tests start a private PipeWire server with a
null sink, which does, and drive the program through a pseudo-terminal."""
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from quarvel_testing import BINARY, Scratch as SharedScratch  # noqa: E402

# Six quarter notes at the default tempo: 6 x 30912 frames, about 4.2 seconds.
FOUR_SECONDS = "V1 YA Q 0 1 2 3 4 5 V2 YC H @7 @5 @3 M\n"
FOUR_SECONDS_FRAMES = 6 * 30912


class Scratch(SharedScratch):
    prefix = "quarvel-play-"


class DeviceBytes(Scratch):
    """What is played is exactly what -w writes, last partial buffer included."""

    def test_played_bytes_equal_the_wave_data(self):
        scores = {
            "short": "Q1",
            "several buffers": FOUR_SECONDS,
            "parts and decay": "JAT2 P01 V1 Q 0 2 4 M V3 _ I 4' 9' M R01 P02 =80 Q 7 M",
        }
        for label, text in scores.items():
            with self.subTest(label):
                self.write("tune.qvl", text)
                capture = os.path.join(self.dir, "played.raw")
                if os.path.exists(capture):
                    os.remove(capture)
                env = dict(os.environ, QUARVEL_DEVICE="file:FILE=%s,FORMAT=raw" % capture)
                env.pop("QUARVEL_EDIT", None)
                # (the last score leaves noise mode on for voice 1 on purpose)
                played = subprocess.run([BINARY, "--no-warn=all", "tune"], cwd=self.dir, env=env,
                                        stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                self.assertEqual(played.returncode, 0, played.stderr)
                self.assertEqual(played.stderr, b"")  # no status line off a terminal
                self.assertTrue(played.stdout.startswith(b"QuarvelCD v2.3\n"))
                wrote = subprocess.run([BINARY, "-w", "tune"], cwd=self.dir,
                                       capture_output=True, timeout=60)
                self.assertEqual(wrote.returncode, 0, wrote.stderr)
                with open(os.path.join(self.dir, "tune.wav"), "rb") as f:
                    wave = f.read()
                with open(capture, "rb") as f:
                    self.assertEqual(f.read(), wave[46:])

    def test_device_failures_end_with_status_4(self):
        self.write("tune.qvl", FOUR_SECONDS)
        for device, reason in (("quarvel_no_such_pcm", "cannot open sound device"),
                               ("file:FILE=/dev/full,FORMAT=raw", "refused")):
            with self.subTest(device=device):
                env = dict(os.environ, QUARVEL_DEVICE=device)
                r = subprocess.run([BINARY, "tune"], cwd=self.dir, env=env,
                                   stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                self.assertEqual(r.returncode, 4)
                self.assertTrue(r.stdout.decode().endswith(
                    "exit 4 %s\n" % os.path.join(os.path.realpath(self.dir), "tune.qvl")))
                diagnostic = r.stderr.decode()
                self.assertEqual(diagnostic.count("\n"), 1, diagnostic)
                self.assertIn(reason, diagnostic)


class PipeWire:
    """A private PipeWire server with a null sink that plays in real time."""

    CONFIG = """context.properties = { default.clock.rate = 44100 }
context.objects = [
  { factory = adapter
    args = {
      factory.name     = support.null-audio-sink
      node.name        = quarvel-test-sink
      media.class      = Audio/Sink
      audio.rate       = 44100
      audio.position   = [ FL FR ]
      node.driver      = true
    }
  }
]
"""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quarvel-pw-")
        self.env = dict(os.environ)
        self.processes = []
        self.dbus_pid = None

    def start(self):
        run = os.path.join(self.dir, "run")
        conf = os.path.join(self.dir, "conf", "pipewire", "pipewire.conf.d")
        os.makedirs(run, mode=0o700)
        os.makedirs(conf)
        with open(os.path.join(conf, "quarvel-test.conf"), "w") as f:
            f.write(self.CONFIG)
        self.env.update(XDG_RUNTIME_DIR=run, XDG_CONFIG_HOME=os.path.join(self.dir, "conf"))
        out = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1",
                              "--print-pid=1"], capture_output=True, text=True, env=self.env,
                             check=True).stdout.split()
        self.env["DBUS_SESSION_BUS_ADDRESS"] = out[0]
        self.dbus_pid = int(out[1])
        with open(os.path.join(self.dir, "server.log"), "w") as log:
            self.processes.append(subprocess.Popen(["pipewire"], env=self.env, stdout=log,
                                                   stderr=log))
            time.sleep(0.3)
            self.processes.append(subprocess.Popen(["wireplumber"], env=self.env, stdout=log,
                                                   stderr=log))
        deadline = time.time() + 15
        while time.time() < deadline:
            status = subprocess.run(["wpctl", "status"], capture_output=True, text=True,
                                    env=self.env)
            if "quarvel-test-sink" in status.stdout:
                return
            time.sleep(0.2)
        raise RuntimeError("the PipeWire test server did not come up")

    def stop(self):
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
        if self.dbus_pid:
            try:
                os.kill(self.dbus_pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        shutil.rmtree(self.dir, True)


class Session:
    """The program playing under a pseudo-terminal, its output collected."""

    def __init__(self, args, cwd, env):
        # The program starts only once the terminal's modes have been read.
        go_read, go_write = os.pipe()
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.close(go_write)
            os.read(go_read, 1)
            os.chdir(cwd)
            os.execve(BINARY, [BINARY, *args], env)
        os.close(go_read)
        self.modes_before = termios.tcgetattr(self.fd)
        self.output = b""
        self.start = time.time()
        os.write(go_write, b"g")
        os.close(go_write)

    def pump(self, seconds):
        end = time.time() + seconds
        while time.time() < end:
            if select.select([self.fd], [], [], 0.02)[0]:
                try:
                    self.output += os.read(self.fd, 4096)
                except OSError:
                    return

    def send(self, keys):
        os.write(self.fd, keys)

    def finish(self, timeout=30):
        """Waits for the end; answers (status, seconds since start)."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                elapsed = time.time() - self.start
                self.pump(0.1)
                self.modes_after = termios.tcgetattr(self.fd)
                os.close(self.fd)
                return os.waitstatus_to_exitcode(status), elapsed
            self.pump(0.02)
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        raise AssertionError("the program did not end: %r" % self.output[-300:])


class WithServer(Scratch):
    """A PipeWire server for the tests of one class, and the program under a
    pseudo-terminal playing on it."""

    @classmethod
    def setUpClass(cls):
        cls.server = PipeWire()
        try:
            cls.server.start()
        except Exception:
            cls.server.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def play(self, text, capture=None, extra_env=None, args=("tune",)):
        self.write("tune.qvl", text)
        env = dict(self.server.env)
        env.pop("QUARVEL_EDIT", None)
        env["QUARVEL_DEVICE"] = ("tee:SLAVE=pipewire,FILE=%s,FORMAT=raw" % capture
                                 if capture else "pipewire")
        env.update(extra_env or {})
        return Session(list(args), self.dir, env)

@unittest.skipUnless(shutil.which("pipewire") and shutil.which("wireplumber"),
                     "PipeWire is not installed")
class RealTime(WithServer):
    def captured(self, capture):
        return os.path.getsize(capture) // 4 if os.path.exists(capture) else 0

    def test_plays_in_real_time(self):
        # The device is paced in real time, so the program cannot end before
        # the sound has been played (a floor that holds on any machine). How
        # far the renderer runs ahead is the sink's business, tested with a
        # fake clock in sample_sink_test; here it is only printed.
        capture = os.path.join(self.dir, "played.raw")
        session = self.play(FOUR_SECONDS, capture=capture)
        first = None
        lead = 0.0
        deadline = time.time() + 60  # a hang fails
        while True:
            pid, status = os.waitpid(session.pid, os.WNOHANG)
            if pid:
                elapsed = time.time() - session.start
                break
            self.assertLess(time.time(), deadline, "the program did not end")
            now = time.time()
            size = os.path.getsize(capture) if os.path.exists(capture) else 0
            if size and first is None:
                first = now
            if first is not None:
                lead = max(lead, size / 4 / 44100 - (now - first))
            session.pump(0.02)
        os.close(session.fd)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        sound = FOUR_SECONDS_FRAMES / 44100
        self.assertGreater(elapsed, sound - 0.2)
        print("\nsound %.2f s, played in %.2f s, renderer ahead by at most %.3f s"
              % (sound, elapsed, lead))
        self.assertEqual(os.path.getsize(capture), 4 * FOUR_SECONDS_FRAMES)

    def test_escape_stops_at_once(self):
        capture = os.path.join(self.dir, "played.raw")
        session = self.play(FOUR_SECONDS, capture=capture)
        session.pump(1.0)
        sent = time.time()
        session.send(b"\x1b")
        status, _ = session.finish()
        self.assertEqual(status, 0)
        print("\nESC to the end of the program: %.3f s" % (time.time() - sent))
        # Stopped where it was: the rest of the score never reached the device.
        self.assertLess(self.captured(capture), FOUR_SECONDS_FRAMES // 2)
        self.assertEqual(session.modes_after, session.modes_before)

    def test_tab_skips_what_is_queued(self):
        # TAB drops the sound queued (which frames, the sink's test shows with
        # a fake device) and the music plays on to its end: every frame is
        # rendered and handed over, less at most the three buffers the sink
        # holds at each TAB. The times are printed, not judged.
        status, whole = self.play(FOUR_SECONDS).finish()
        self.assertEqual(status, 0)
        capture = os.path.join(self.dir, "played.raw")
        session = self.play(FOUR_SECONDS, capture=capture)
        for _ in range(3):
            session.pump(0.8)
            session.send(b"\t")
        status, elapsed = session.finish()
        self.assertEqual(status, 0)
        print("\nplayed through in %.2f s, with three TABs in %.2f s" % (whole, elapsed))
        self.assertLessEqual(self.captured(capture), FOUR_SECONDS_FRAMES)
        self.assertGreaterEqual(self.captured(capture), FOUR_SECONDS_FRAMES - 3 * 3 * 4096)
        self.assertEqual(session.modes_after, session.modes_before)

    def test_cursor_keys_change_nothing(self):
        capture = os.path.join(self.dir, "played.raw")
        session = self.play(FOUR_SECONDS, capture=capture)
        for keys in (b"\x1b[A", b"\x1bOP", b"x"):
            session.pump(0.7)
            session.send(keys)
        status, _ = session.finish()
        self.assertEqual(status, 0)
        self.assertEqual(self.captured(capture), FOUR_SECONDS_FRAMES)  # played to the end
        self.assertEqual(session.modes_after, session.modes_before)

    def test_space_stops_and_opens_the_editor(self):
        log = os.path.join(self.dir, "editor.log")
        editor = self.write("fake-editor", "#!/bin/sh\nprintf '%%s\\n' \"$@\" > %s\nexit 5\n" % log)
        os.chmod(editor, 0o755)
        capture = os.path.join(self.dir, "played.raw")
        session = self.play(FOUR_SECONDS, capture=capture, extra_env={"QUARVEL_EDIT": editor})
        session.pump(1.0)
        session.send(b" ")
        status, _ = session.finish()
        self.assertEqual(status, 5)  # the editor's own status: it replaced the program
        self.assertLess(self.captured(capture), FOUR_SECONDS_FRAMES // 2)
        with open(log) as f:
            self.assertEqual(f.read(), os.path.join(os.path.realpath(self.dir), "tune.qvl") + "\n")
        self.assertEqual(session.modes_after, session.modes_before)

    def test_signals_while_playing_restore_the_terminal(self):
        for number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=number):
                capture = os.path.join(self.dir, "played.raw")
                if os.path.exists(capture):
                    os.remove(capture)
                session = self.play(FOUR_SECONDS, capture=capture)
                session.pump(1.0)
                os.kill(session.pid, number)
                status, _ = session.finish()
                self.assertEqual(status, -number)  # ended by the signal itself
                self.assertLess(self.captured(capture), FOUR_SECONDS_FRAMES // 2)
                self.assertEqual(session.modes_after, session.modes_before)

    def test_start_part(self):
        text = "P01 Q 0 1 2 3 4 5 M P02 Q 7 M\n"
        capture = os.path.join(self.dir, "played.raw")
        session = self.play(text, capture=capture, args=("-g02", "tune"))
        status, _ = session.finish()
        self.assertEqual(status, 0)
        self.assertEqual(self.captured(capture), 30912)  # only the one quarter of part 2


# Five bars of two loud quarters, 1.4 s each; the same bars silent; a fault.
LOUD = "V1 YA Q 0 1 M 2 3 M 4 5 M 6 7 M 0 1 M\n"
SILENT = "V1 YA Q $ $ M $ $ M $ $ M $ $ M $ $ M\n"
BROKEN = "V1 YA Q 0 1 M 2 3 M V9 4 5 M 6 7 M\n"
STATUS = re.compile(rb"\r([^\r\n\x1b]*)\x1b\[K")


def first_silence(capture, after):
    """Frame index of the first run of 2048 silent frames at or after a byte offset."""
    with open(capture, "rb") as f:
        data = f.read()
    found = data.find(b"\0" * 8192, after - after % 4)
    while found >= 0 and found % 4:
        found = data.find(b"\0" * 8192, found + 1)
    return found


def save(path, text, style):
    if style == "in place":
        with open(path, "r+") as f:  # same length: no truncation
            f.write(text)
    elif style == "truncate":
        with open(path, "w") as f:
            f.write(text)
    else:  # a new file renamed into place
        with open(path + ".new", "w") as f:
            f.write(text)
        os.rename(path + ".new", path)


@unittest.skipUnless(shutil.which("pipewire") and shutil.which("wireplumber"),
                     "PipeWire is not installed")
class Live(WithServer):
    """The status line, and --watch: every save style reloads, a broken save
    keeps the old music."""

    def test_status_line_follows_the_sound_and_is_erased(self):
        # What the device has played is what its tap has written (the tap
        # holds back a device buffer), so the bar shown is compared with it.
        capture = os.path.join(self.dir, "played.raw")
        session = self.play(LOUD, capture=capture)
        seen = {}  # bar -> frames at the tap when the line first showed it
        while True:
            pid, status = os.waitpid(session.pid, os.WNOHANG)
            if pid:
                break
            before = len(session.output)
            session.pump(0.01)
            tap = os.path.getsize(capture) // 4 if os.path.exists(capture) else 0
            for line in STATUS.findall(session.output[max(0, before - 200):]):
                if not line:
                    continue
                match = re.match(rb"tune\.qvl  bar (\d)  \d:\d\d\.\d\d / 0:07\.01  ESC stop", line)
                self.assertTrue(match, line)
                seen.setdefault(int(match.group(1)), tap)
        os.close(session.fd)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        self.assertEqual(sorted(seen), [1, 2, 3, 4, 5])
        for bar, tap in seen.items():  # bar n starts at frame 2 x 30912 x (n - 1)
            if bar > 1:
                self.assertAlmostEqual(tap, 61824 * (bar - 1), delta=0.3 * 44100, msg=seen)
        self.assertTrue(session.output.endswith(b"\r\x1b[K"), session.output[-80:])

    def watch(self, capture):
        return self.play(LOUD, capture=capture, args=("--watch", "tune"))

    def test_every_save_style_reloads_at_once(self):
        capture = os.path.join(self.dir, "played.raw")
        for style in ("in place", "truncate", "rename"):
            with self.subTest(style=style):
                if os.path.exists(capture):
                    os.remove(capture)
                session = self.watch(capture)
                session.pump(2.0)
                played = os.path.getsize(capture)
                self.assertEqual(first_silence(capture, 0), -1)
                saved = time.time()
                save(os.path.join(self.dir, "tune.qvl"), SILENT, style)
                latency = None
                while time.time() - saved < 20 and latency is None:  # a hang fails
                    if first_silence(capture, played - 4 * 12288) >= 0:
                        latency = time.time() - saved
                    time.sleep(0.002)
                session.pump(0.3)
                session.send(b"q")
                status, _ = session.finish()
                self.assertEqual(status, 0)
                self.assertEqual(session.modes_after, session.modes_before)
                self.assertIsNotNone(latency, "the new music never came")
                print("\n%s: save to new sound at the device tap %.3f s" % (style, latency))
                # It took over in bar 2, where the old music was.
                bars = [int(m) for m in re.findall(rb"bar (\d)  ", session.output)]
                self.assertEqual(bars[-1], 2, bars)

    def test_a_broken_save_keeps_the_old_music(self):
        capture = os.path.join(self.dir, "played.raw")
        session = self.watch(capture)
        session.pump(1.0)
        played = os.path.getsize(capture)
        save(os.path.join(self.dir, "tune.qvl"), BROKEN, "truncate")
        session.pump(1.5)
        self.assertEqual(first_silence(capture, played - 4 * 12288), -1)  # no silence came
        self.assertGreater(os.path.getsize(capture), played + 4 * 44100)  # and the music went on
        self.assertIn(b"\r\x1b[Kquarvelcd: %s:1:22: error 3: " % os.path.join(
            os.path.realpath(self.dir), "tune.qvl").encode(), session.output)
        after = session.output.split(b"error 3: ")[-1]
        self.assertRegex(after, rb"\rtune\.qvl  bar \d  \d:\d\d\.\d\d / 0:07\.01  error at line 1")
        # Mended: the error and its caret are erased, the line says so no more.
        save(os.path.join(self.dir, "tune.qvl"), SILENT, "truncate")
        # Three lines, or more where the terminal (80 columns) wraps them.
        shown = session.output[session.output.index(b"quarvelcd: "):].split(b"\rtune")[0]
        rows = sum(max(1, -(-len(line) // 80)) for line in shown.split(b"\r\n")[:-1])
        erase = b"\r\x1b[%dA\x1b[J" % rows
        self.wait_for(session, re.escape(erase) + rb"[^\n]*watching")
        self.assertNotIn(b"error", session.output.split(erase)[-1])
        session.send(b"\x1b")
        status, _ = session.finish()
        self.assertEqual(status, 0)
        self.assertEqual(session.modes_after, session.modes_before)

    def wait_for(self, session, pattern, seconds=10):
        """Pumps the output until it matches (a bound on the wait, not a timing)."""
        deadline = time.time() + seconds
        while not re.search(pattern, session.output):
            self.assertLess(time.time(), deadline, "never came: %r in %r"
                            % (pattern, session.output[-1000:]))
            session.pump(0.05)

    def wait_for_silence(self, capture, after, seconds=10):
        deadline = time.time() + seconds
        while first_silence(capture, after) < 0:
            self.assertLess(time.time(), deadline, "the new music never came")
            time.sleep(0.02)

    def test_watch_follows_a_link_and_a_folder_that_comes_back(self):
        capture = os.path.join(self.dir, "played.raw")
        # The score is a link to a file in another folder, inside a folder of its own.
        self.write("real/tune.qvl", LOUD)
        os.mkdir(os.path.join(self.dir, "sub"))
        os.symlink(os.path.join(self.dir, "real", "tune.qvl"),
                   os.path.join(self.dir, "sub", "tune.qvl"))
        session = self.play(LOUD, capture=capture, args=("--watch", "sub/tune"))
        session.pump(1.0)
        played = os.path.getsize(capture)
        save(os.path.join(self.dir, "real", "tune.qvl"), SILENT, "rename")
        self.wait_for_silence(capture, played - 4 * 12288)
        for gone in ("removed", "renamed"):
            with self.subTest(gone=gone):
                if gone == "removed":
                    shutil.rmtree(os.path.join(self.dir, "sub"))
                else:
                    os.rename(os.path.join(self.dir, "sub"), os.path.join(self.dir, "away"))
                self.wait_for(session, rb"tune\.qvl  bar \d[^\r]*the folder is gone")
                os.mkdir(os.path.join(self.dir, "sub"))
                played = os.path.getsize(capture)
                self.write("sub/tune.qvl", "V1 YA Q 0 1 M 2 3 M\n")  # loud again, and new
                deadline = time.time() + 10
                while (first_silence(capture, played) >= 0 and
                       os.path.getsize(capture) < played + 4 * 44100):
                    self.assertLess(time.time(), deadline)
                    session.pump(0.05)
                self.wait_for(session, rb"\rtune\.qvl  bar \d  \d:\d\d\.\d\d / 0:02\.80")
                save(os.path.join(self.dir, "sub", "tune.qvl"), SILENT, "in place")
                self.wait_for(session, rb"\rtune\.qvl  bar \d  \d:\d\d\.\d\d / 0:07\.01")
        session.send(b"q")
        status, _ = session.finish()
        self.assertEqual(status, 0)

    def test_status_line_names_the_part_that_sounds_for_the_terminal(self):
        # Parts 01 and 02, part 01 replayed, then part 10 (sixteen): one bar each.
        text = "V1 YA P01 Q 0 1 M P02 Q 2 3 M R01 P10 Q 4 5 M\n"
        # (environment, the separator the line must show, erasing by ESC [ K)
        cases = [({"LC_ALL": "C.UTF-8", "TERM": "xterm"}, "\u00b7".encode(), True),
                 ({"LC_ALL": "C", "TERM": "dumb"}, b"-", False)]
        for env, dot, erase in cases:
            with self.subTest(env=env):
                session = self.play(text, extra_env=env)
                status, _ = session.finish()
                self.assertEqual(status, 0)
                lines = re.findall(rb"\r(tune\.qvl [^\r\n\x1b]*)", session.output)
                parts = []
                for line in lines:
                    match = re.match(rb"tune\.qvl  part (\w\w) %s bar \d  0:0\d\.\d\d / "
                                     rb"0:05\.61  ESC stop %s space" % (dot, dot), line)
                    self.assertTrue(match, line)
                    if not parts or parts[-1] != match.group(1):
                        parts.append(match.group(1))
                self.assertEqual(parts, [b"01", b"02", b"01", b"10"])
                self.assertEqual(b"\x1b[K" in session.output, erase)
                if not erase:
                    self.assertNotIn(b"\xc2", session.output)


@unittest.skipUnless(shutil.which("pipewire") and shutil.which("wireplumber"),
                     "PipeWire is not installed")
class DeviceVanishes(Scratch):
    def test_sound_server_killed_mid_play(self):
        server = PipeWire()
        try:
            server.start()
            self.write("tune.qvl", FOUR_SECONDS * 2)
            env = dict(server.env, QUARVEL_DEVICE="pipewire")
            env.pop("QUARVEL_EDIT", None)
            session = Session(["tune"], self.dir, env)
            session.pump(1.0)
            server.processes[0].kill()  # the PipeWire server
        finally:
            server.stop()
        status, _ = session.finish(timeout=30)  # a hang fails
        self.assertEqual(status, 4)
        self.assertIn(b"exit 4 ", session.output)
        self.assertEqual(session.modes_after, session.modes_before)


if __name__ == "__main__":
    unittest.main()
