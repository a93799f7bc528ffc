"""Bad input and faults of the outside world: every case ends with its defined
status and output, never a crash, a hang or a success that was not one."""
import os
import pwd
import resource
import shutil
import signal
import subprocess
import tempfile
import termios
import time
import unittest

from prompt_session import PromptSession

BINARY = os.environ.get("QUARVELCD", "quarvelcd")
# The sanitizer build is several times slower and larger: it gets smaller inputs.
SANITIZED = os.environ.get("QUARVEL_SANITIZED") == "1"


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quarvel-hard-")
        os.chmod(self.dir, 0o755)
        self.addCleanup(shutil.rmtree, self.dir, True)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data.encode("latin-1") if isinstance(data, str) else data)
        return path

    def path(self, name):
        return os.path.join(os.path.realpath(self.dir), name)

    def run_cli(self, *args, stdin=b"", user=None, timeout=300):
        env = dict(os.environ, QUARVEL_DEVICE="quarvel_no_such_device")
        env.pop("QUARVEL_EDIT", None)
        command = [BINARY, *args]
        if user is not None:
            command = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups",
                       *command]
        return subprocess.run(command, input=stdin, capture_output=True, cwd=self.dir, env=env,
                              timeout=timeout)

    def measured(self, *args):
        """Runs the program; answers (result, seconds, peak memory in MB)."""
        start = time.time()
        process = subprocess.Popen([BINARY, *args], cwd=self.dir, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        out, err = process.communicate(timeout=600)
        seconds = time.time() - start
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
        return (process.returncode, out, err), seconds, peak


def nobody():
    try:
        return pwd.getpwnam("nobody").pw_uid
    except KeyError:
        return None


class LargeInput(Scratch):
    def test_tens_of_megabytes_of_notes_without_bar_lines(self):
        # One bar of millions of 64th notes at the fastest tempo: compiles and
        # renders in linear time.
        megabytes = 10 if SANITIZED else 50
        sizes = (megabytes // 4, megabytes)
        times = []
        for size in sizes:
            body = "1 2 " * (size * 1000 * 1000 // 4)
            self.write("big.qvl", "=02 NH X " + body)
            (status, out, err), seconds, peak = self.measured("-c", "big")
            self.assertEqual(status, 0, err)
            self.assertTrue(out.endswith(b"big.qvl\n"))
            times.append(seconds)
            print("\n%d MB of notes without bar lines: %.2f s, peak memory of the runs so far "
                  "%.0f MB" % (size, seconds, peak))
        # Four times the text takes about four times as long, not sixteen.
        self.assertLess(times[1] / max(times[0], 0.05), 10)

    def test_thousands_of_parts_and_replays(self):
        parts = ["=02 NH X"]
        for n in range(1, 256):
            parts.append("P%02X V1 1 2 V2 3 M" % n)
        for n in range(3000):
            parts.append("R%02X" % (n % 255 + 1) if n % 2 else "P V3 4 5 M")
        self.write("parts.qvl", "\n".join(parts) + "\n")
        r = self.run_cli("-c", "parts")
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_deeply_repeated_bars(self):
        text = "=02 NH X (" + "V1 1 2 V2 3 M " * 2000 + ")F ((((((Q 1 M )9"
        self.write("rep.qvl", text)
        r = self.run_cli("-c", "rep")
        self.assertEqual(r.returncode, 0, r.stderr)


class CutOff(Scratch):
    def test_fields_cut_off_by_the_end_of_the_file(self):
        cases = {"=4": 2, "P0": 2, "R0": 2, "V": 2, "L": 2, "JAS1234": 2, "JA": 3, "J": 3,
                 "Z": 2, "O": 2, "<": 2, ">": 2, "U+": 2, "U": 2, ")": 2, "K": 3, "K3": 3,
                 "N": 3, "Y": 3, "-": 2, "+": 2, "3#": 0, "W:.": 0, "W:..": 6}
        for text, number in cases.items():
            with self.subTest(text=text):
                self.write("cut.qvl", text)
                r = self.run_cli("-c", "cut")
                if number == 0:
                    self.assertEqual(r.returncode, 0, r.stderr)
                    continue
                self.assertEqual(r.returncode, 3, r.stderr)
                self.assertEqual(r.stdout.decode(), "exit 3 %s\n" % self.path("cut.qvl"))
                self.assertIn(": error %d: " % number, r.stderr.decode())


@unittest.skipUnless(os.geteuid() == 0 and nobody() is not None and shutil.which("setpriv"),
                     "needs root to run the program as another user")
class Permissions(Scratch):
    def test_score_without_read_permission(self):
        self.write("secret.qvl", "Q1")
        os.chmod(os.path.join(self.dir, "secret.qvl"), 0o000)
        r = self.run_cli("-c", "secret", user=nobody())
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout.decode(), "exit 1 %s\n" % self.path("secret.qvl"))
        self.assertIn("Permission denied", r.stderr.decode())

    def test_wave_folder_not_writable(self):
        self.write("tune.qvl", "Q1")
        os.chmod(self.dir, 0o555)
        try:
            r = self.run_cli("-w", "tune", user=nobody())
        finally:
            os.chmod(self.dir, 0o755)
        self.assertEqual(r.returncode, 4)
        self.assertEqual(r.stdout.decode(), "exit 4 %s\n" % self.path("tune.qvl"))
        self.assertIn("Permission denied", r.stderr.decode())


class Pipes(Scratch):
    def test_broken_pipe_ends_quietly(self):
        self.write("tune.qvl", "Q1")
        reader, writer = os.pipe()
        os.close(reader)
        r = subprocess.run([BINARY, "-c", "tune"], stdout=writer, stderr=subprocess.PIPE,
                           cwd=self.dir, timeout=60)
        os.close(writer)
        self.assertEqual(r.returncode, -signal.SIGPIPE)
        self.assertEqual(r.stderr, b"")


class SignalsAtThePrompt(Scratch):
    def test_signal_at_the_error_prompt_restores_the_terminal(self):
        self.write("bad.qvl", "V0")
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=number):
                session = PromptSession(BINARY, self.dir)
                self.assertFalse(session.modes_waiting[3] & termios.ECHO)
                os.kill(session.pid, number)
                self.assertEqual(session.finish(), -number)  # ended by the signal itself
                self.assertEqual(session.modes_after, session.modes_before)

if __name__ == "__main__":
    unittest.main()
