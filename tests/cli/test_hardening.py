"""Bad input and faults of the outside world: every case ends with its defined
status and output, never a crash, a hang or a success that was not one."""
import os
import pty
import pwd
import re
import resource
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import sys
import tempfile
import termios
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from prompt_session import PromptSession  # noqa: E402
from quarvel_testing import BINARY, SANITIZED, Scratch as SharedScratch  # noqa: E402
from quarvel_testing import program_env  # noqa: E402


class Scratch(SharedScratch):
    prefix = "quarvel-hard-"

    def popen(self, *args, **kwargs):
        return subprocess.Popen([BINARY, *args], cwd=self.dir, env=program_env(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)

    def limited(self, limits, *args, stdout=None):
        """Runs the program under resource limits: {resource: soft and hard value}."""
        def apply():
            for which, value in limits.items():
                resource.setrlimit(which, (value, value))
        return subprocess.run([BINARY, *args], cwd=self.dir, env=program_env(), preexec_fn=apply,
                              stdout=stdout if stdout is not None else subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=300)

    def others(self, *keep):
        """Files in the scratch folder besides those named."""
        return sorted(set(os.listdir(self.dir)) - set(keep))

    def measured(self, *args):
        """Runs the program; answers (result, seconds, peak memory in MB)."""
        start = time.time()
        process = subprocess.Popen([BINARY, *args], cwd=self.dir, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        out, err = process.communicate(timeout=600)
        seconds = time.time() - start
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
        return (process.returncode, out, err), seconds, peak


# A score that renders for a while: several minutes of five voices.
LONG_SCORE = "=40 V1 " + "W1 W3 W5 W8 M " * 100 + "V2 " + "W3 W5 W8 W1 M " * 100


def wave_frames(test, data):
    """Checks a whole WAVE: sizes that match its length; answers its frames."""
    frames = (len(data) - 46) // 4
    test.assertEqual(len(data), 46 + 4 * frames)
    test.assertEqual(data[:4], b"RIFF")
    test.assertEqual(struct.unpack("<I", data[4:8])[0], 38 + 4 * frames)
    test.assertEqual(data[36:42], b"\0\0data")
    test.assertEqual(struct.unpack("<I", data[42:46])[0], 4 * frames)
    return frames


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


    def test_wave_in_a_folder_that_takes_no_new_file(self):
        # The directory refuses the temporary file: a writable WAVE is written
        # in place, as before; a missing one cannot be created.
        self.write("tune.qvl", "Q1")
        cases = {"writable old WAVE": (0o666, 0), "no old WAVE": (None, 4)}
        for label, (mode, status) in cases.items():
            with self.subTest(label):
                wave = os.path.join(self.dir, "tune.wav")
                if os.path.exists(wave):
                    os.unlink(wave)
                if mode is not None:
                    self.write("tune.wav", b"old")
                    os.chmod(wave, mode)
                os.chmod(self.dir, 0o555)
                try:
                    r = self.run_cli("-w", "tune", user=nobody())
                finally:
                    os.chmod(self.dir, 0o755)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertEqual(self.others("tune.qvl", "tune.wav"), [])
                if status == 0:
                    with open(wave, "rb") as f:
                        self.assertEqual(wave_frames(self, f.read()), 30912)


class WaveTargets(Scratch):
    def long_run(self, *args, target="long.wav", **kwargs):
        """Starts a long run that writes `target` (-w unless other arguments are
        given) and answers it once its temporary file exists."""
        process = self.popen(*(args or ("-w",)), "long", **kwargs)
        deadline = time.time() + 60
        while not [n for n in os.listdir(self.dir) if n.startswith("." + target + ".")]:
            self.assertIsNone(process.poll(), "the run ended before it was caught")
            self.assertLess(time.time(), deadline)
            time.sleep(0.002)
        return process

    def test_parallel_runs_leave_one_whole_wave(self):
        self.write("long.qvl", LONG_SCORE)
        self.write("short.qvl", "Q1")
        os.symlink("long.wav", os.path.join(self.dir, "short.wav"))
        long_run = self.long_run()
        # Held while the short run writes the same file, so that it ends last.
        long_run.send_signal(signal.SIGSTOP)
        short = self.run_cli("-w", "short")
        long_run.send_signal(signal.SIGCONT)
        out, err = long_run.communicate(timeout=300)
        self.assertEqual((short.returncode, long_run.returncode), (0, 0), err)
        with open(os.path.join(self.dir, "long.wav"), "rb") as f:
            self.assertGreater(wave_frames(self, f.read()), 30912)  # the long run came last
        self.assertTrue(os.path.islink(os.path.join(self.dir, "short.wav")))
        self.assertEqual(self.others("long.qvl", "short.qvl", "long.wav", "short.wav"), [])

    def test_run_ended_by_a_signal_keeps_the_old_wave(self):
        self.write("long.qvl", LONG_SCORE)
        old = b"RIFF old WAVE bytes"
        # (arguments, target, signals)
        cases = [
            ((), "long.wav", (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGUSR1,
                              signal.SIGPIPE, signal.SIGALRM)),
            (("--export", "out.wav"), "out.wav", (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)),
            (("--export", "out.flac"), "out.flac", (signal.SIGINT,)),
        ]
        for args, target, numbers in cases:
            for number in numbers:
                with self.subTest(args=args, signal=number):
                    self.write(target, old)
                    process = self.long_run(*args, target=target)
                    process.send_signal(signal.SIGSTOP)  # caught while it writes
                    process.send_signal(number)
                    process.send_signal(signal.SIGCONT)
                    process.communicate(timeout=60)
                    self.assertEqual(process.returncode, -number)
                    with open(os.path.join(self.dir, target), "rb") as f:
                        self.assertEqual(f.read(), old)
                    self.assertEqual(self.others("long.qvl", target), [])
                    os.unlink(os.path.join(self.dir, target))

    def test_too_long_for_a_wave_is_refused_before_writing(self):
        # 1024 whole notes of 1.3 M frames each: past the 4 GiB of RIFF sizes.
        self.write("huge.qvl", "=FF NT (W" + " 1" * 64 + " M )F")
        self.write("huge.wav", b"RIFF old")
        result = self.run_cli("-w", "huge")
        self.assertEqual(result.returncode, 4, result.stderr)
        self.assertIn(b"more than the 4 GiB", result.stderr)
        with open(os.path.join(self.dir, "huge.wav"), "rb") as f:
            self.assertEqual(f.read(), b"RIFF old")
        self.assertEqual(self.others("huge.qvl", "huge.wav"), [])

    def test_failed_run_keeps_the_old_wave(self):
        # A file size limit: the write fails and says so (no death by SIGXFSZ).
        self.write("tune.qvl", LONG_SCORE)
        old = b"RIFF old WAVE bytes"
        self.write("tune.wav", old)
        r = self.limited({resource.RLIMIT_FSIZE: 100000}, "-w", "tune")
        self.assertEqual(r.returncode, 4, r.stderr)
        self.assertEqual(r.stdout.decode(), "exit 4 %s\n" % self.path("tune.qvl"))
        self.assertIn("File too large", r.stderr.decode())
        with open(os.path.join(self.dir, "tune.wav"), "rb") as f:
            self.assertEqual(f.read(), old)
        self.assertEqual(self.others("tune.qvl", "tune.wav"), [])

    def test_targets_that_are_no_files_are_refused_at_once(self):
        self.write("tune.qvl", "Q1")
        os.mkfifo(os.path.join(self.dir, "fifo.wav"))
        os.symlink("/dev/null", os.path.join(self.dir, "null.wav"))
        os.symlink("/dev/zero", os.path.join(self.dir, "zero.wav"))
        os.mkfifo(os.path.join(self.dir, "fifo.mid"))
        # (score, arguments before it)
        cases = [("fifo", ["-w"]), ("null", ["-w"]), ("zero", ["-w"]),
                 ("tune", ["--export", "fifo.wav"]), ("tune", ["--export", "null.wav"]),
                 ("tune", ["--midi=fifo.mid"]), ("tune", ["--midi=/dev/null"]),
                 ("tune", ["--midi=/dev/zero"])]
        for name, args in cases:
            with self.subTest(args=args, name=name):
                self.write(name + ".qvl", "Q1")
                r = self.run_cli(*args, name, timeout=20)
                self.assertEqual(r.returncode, 4)
                self.assertEqual(r.stdout.decode(), "exit 4 %s\n" % self.path(name + ".qvl"))
                self.assertIn("not a regular file", r.stderr.decode())
        self.assertTrue(os.path.islink(os.path.join(self.dir, "null.wav")))
        self.assertTrue(stat.S_ISFIFO(os.lstat(os.path.join(self.dir, "fifo.mid")).st_mode))
        self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))

    def test_no_output_replaces_an_input(self):
        score = b"Q1 2 3"
        os.symlink("tune.qvl", os.path.join(self.dir, "link.wav"))
        os.symlink("tune.qvl", os.path.join(self.dir, "tune.wav"))
        os.link(self.write("tune.qvl", score), os.path.join(self.dir, "hard.mid"))
        cases = [["--midi=tune.qvl"], ["--midi=hard.mid"], ["--export", "link.wav"], ["-w"],
                 ["-c", "-w"]]
        for args in cases:
            with self.subTest(args=args):
                r = self.run_cli(*args, "tune", timeout=20)
                self.assertEqual(r.returncode, 4, r.stderr)
                self.assertIn("it is the score this run reads", r.stderr.decode())
                with open(os.path.join(self.dir, "tune.qvl"), "rb") as f:
                    self.assertEqual(f.read(), score)
                self.assertEqual(self.others("tune.qvl", "link.wav", "tune.wav", "hard.mid"), [])

    def test_every_output_writes_through_a_link(self):
        self.write("tune.qvl", "Q1")
        os.mkdir(os.path.join(self.dir, "real"))
        for args, link in ((["-w"], "tune.wav"), (["--export", "out.flac"], "out.flac"),
                           (["--midi=out.mid"], "out.mid")):
            with self.subTest(args=args):
                os.symlink("real/" + link, os.path.join(self.dir, link))
                r = self.run_cli(*args, "tune", timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertTrue(os.path.islink(os.path.join(self.dir, link)))
                self.assertGreater(os.path.getsize(os.path.join(self.dir, "real", link)), 40)
        self.assertEqual(self.others("tune.qvl", "tune.wav", "out.flac", "out.mid", "real"), [])

    def test_wave_that_is_standard_output(self):
        self.write("tune.qvl", "Q1")
        r = subprocess.run("%s -w tune > tune.wav" % BINARY, shell=True, cwd=self.dir,
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(self.dir, "tune.wav"), "rb") as f:
            self.assertEqual(wave_frames(self, f.read()), 30912)

    def test_new_wave_keeps_the_mode_it_would_get(self):
        self.write("tune.qvl", "Q1")
        cases = {"created under umask 027": (None, 0o027, 0o640),
                 "old file's mode": (0o604, 0o077, 0o604),
                 "old private file's mode": (0o600, 0o022, 0o600)}
        for args, name in (("-w", "tune.wav"), ("--export out.wav", "out.wav"),
                           ("--midi=out.mid", "out.mid")):
            target = os.path.join(self.dir, name)
            for label, (old_mode, mask, expected) in cases.items():
                with self.subTest(label, args=args):
                    if os.path.exists(target):
                        os.unlink(target)
                    if old_mode is not None:
                        self.write(name, b"old")
                        os.chmod(target, old_mode)
                    r = subprocess.run("umask %03o; %s %s tune" % (mask, BINARY, args),
                                       shell=True, cwd=self.dir, capture_output=True, timeout=60)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    self.assertEqual(os.stat(target).st_mode & 0o777, expected)

    @unittest.skipUnless(os.geteuid() == 0 and nobody() is not None, "needs root to chown")
    def test_outputs_keep_their_owner(self):
        self.write("tune.qvl", "Q1")
        for args, name in ((["-w"], "tune.wav"), (["--export", "out.wav"], "out.wav"),
                           (["--midi=out.mid"], "out.mid")):
            with self.subTest(args=args):
                os.chown(self.write(name, b"old"), nobody(), nobody())
                r = self.run_cli(*args, "tune", timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                info = os.stat(os.path.join(self.dir, name))
                self.assertEqual((info.st_uid, info.st_gid, info.st_size > 3),
                                 (nobody(), nobody(), True))


class ScorePaths(Scratch):
    def test_the_score_is_the_file_the_system_names(self):
        os.makedirs(os.path.join(self.dir, "real", "sub"))
        os.symlink(os.path.join("real", "sub"), os.path.join(self.dir, "link"))
        self.write("real/tune.qvl", "Q1")
        self.write("tune.qvl", "Q1 2 3")  # what a tidy-up as text would read
        cases = [
            ("link/../tune", 0, "real/tune.qvl", "real/tune.wav"),
            ("nothere/../tune", 1, "nothere/../tune.qvl", None),
            ("real/sub/../tune.txt", 0, "real/tune.qvl", "real/tune.wav"),
        ]
        for name, status, source, wave in cases:
            with self.subTest(name=name):
                r = self.run_cli("-c", "-w", name)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertTrue(r.stdout.decode().endswith(" %s\n" % self.path(source)))
                if wave:
                    with open(os.path.join(self.dir, wave), "rb") as f:
                        self.assertEqual(wave_frames(self, f.read()), 30912)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "tune.wav")))

    def test_folder_deeper_than_the_path_limit(self):
        levels = 60  # 6000 bytes of path
        fd = os.open(self.dir, os.O_RDONLY)
        for _ in range(levels):
            os.mkdir("d" * 99, dir_fd=fd)
            inner = os.open("d" * 99, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = inner
        score = os.open("tune.qvl", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(score, b"Q1")
        os.close(score)

        def deep():
            for _ in range(levels):
                os.chdir("d" * 99)
        full = self.path("/".join(["d" * 99] * levels + ["tune.qvl"]))
        for switch, line in (("-c", " " + full + "\n"), ("-w", "tune.wav 0:0.70\n")):
            with self.subTest(switch=switch):
                r = subprocess.run([BINARY, switch, "tune"], cwd=self.dir, preexec_fn=deep,
                                   capture_output=True, timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertTrue(r.stdout.decode().endswith(line))
        wave = os.open("tune.wav", os.O_RDONLY, dir_fd=fd)
        self.assertEqual(wave_frames(self, os.read(wave, 1 << 20)), 30912)
        os.close(wave)
        os.close(fd)


@unittest.skipIf(SANITIZED, "the sanitizers reserve more address space than these limits allow")
class MemoryLimits(Scratch):
    def test_no_thread_for_the_wave_writer(self):
        # A thread's stack is as large as the stack limit: none fits here, and
        # the file is written all the same, byte for byte.
        self.write("tune.qvl", LONG_SCORE[:4000])
        free = self.run_cli("-w", "tune")
        with open(os.path.join(self.dir, "tune.wav"), "rb") as f:
            expected = f.read()
        os.unlink(os.path.join(self.dir, "tune.wav"))
        r = self.limited({resource.RLIMIT_STACK: 4 << 30, resource.RLIMIT_AS: 400 << 20},
                         "-w", "tune")
        self.assertEqual((r.returncode, r.stdout), (0, free.stdout), r.stderr)
        with open(os.path.join(self.dir, "tune.wav"), "rb") as f:
            self.assertEqual(f.read(), expected)

    def test_large_inputs_under_a_memory_limit(self):
        # 100 MB on one line; a copy of it does not fit the limit.
        cases = {
            "echo of a file without line ends": ("/" + "x" * 100_000_000, (), 4),
            "error report on a long line": (" " * 100_000_000 + "V0 more", ("-c",), 3),
        }
        for label, (text, switches, status) in cases.items():
            with self.subTest(label):
                self.write("big.qvl", text)
                with open(os.path.join(self.dir, "out"), "wb") as out:
                    r = self.limited({resource.RLIMIT_AS: 250_000 * 1024}, *switches, "big",
                                     stdout=out)
                self.assertEqual(r.returncode, status, r.stderr[-500:])
                with open(os.path.join(self.dir, "out"), "rb") as f:
                    f.seek(max(0, os.path.getsize(f.name) - 200))
                    self.assertTrue(f.read().endswith(
                        ("exit %d %s\n" % (status, self.path("big.qvl"))).encode()))
                self.assertLess(len(r.stderr), 1000)
                if status == 4:
                    self.assertEqual(os.path.getsize(os.path.join(self.dir, "out")),
                                     len("QuarvelCD v2.3\n") + len(text) + 2 +
                                     len("exit 4 %s\n" % self.path("big.qvl")))

    def test_score_larger_than_memory_can_hold(self):
        folder = tempfile.mkdtemp(prefix="quarvel-sparse-", dir="/dev/shm")
        self.addCleanup(shutil.rmtree, folder, True)
        for size in (2 ** 63 - 1, 2 ** 50):
            with self.subTest(size=size):
                path = os.path.join(folder, "huge.qvl")
                with open(path, "wb"):
                    pass
                try:
                    os.truncate(path, size)
                except OSError:
                    self.skipTest("no file system here takes a sparse file this large")
                r = self.run_cli("-c", os.path.join(folder, "huge"))
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(r.stdout.decode(), "exit 2 %s\n" % path)
                self.assertIn("no memory", r.stderr.decode())


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

    def test_standard_output_closed_ends_the_run_at_once(self):
        # Playing: the banner cannot be written, so the run ends before the
        # sound device is even tried, with the true reason.
        self.write("tune.qvl", "Q1")
        env = dict(os.environ, QUARVEL_DEVICE="quarvel_no_such_device")
        r = subprocess.run("%s tune >&-" % BINARY, shell=True, cwd=self.dir, env=env,
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 4)
        self.assertEqual(r.stderr.decode(),
                         "quarvelcd: cannot write to standard output: Bad file descriptor\n")


# A job-control shell in a few lines: it runs the program as its own
# foreground job on the terminal, reports when the job stops, and obeys "fg"
# and "bg" read from the file descriptor given as its first argument.
MINI_SHELL = r"""
import os, signal, sys
signal.signal(signal.SIGTTOU, signal.SIG_IGN)
commands = os.fdopen(int(sys.argv[1]))
import termios
lines = termios.tcgetattr(0)  # the shell's own modes, put back at every stop
pid = os.fork()
if pid == 0:
    os.setpgid(0, 0)
    os.tcsetpgrp(0, os.getpgrp())
    signal.signal(signal.SIGTTOU, signal.SIG_DFL)
    os.execv(sys.argv[2], sys.argv[2:])
os.setpgid(pid, pid)
os.write(1, b"@job %d@" % pid)
while True:
    _, status = os.waitpid(pid, os.WUNTRACED)
    if not os.WIFSTOPPED(status):
        os._exit(os.waitstatus_to_exitcode(status) & 255)
    os.tcsetpgrp(0, os.getpgrp())
    termios.tcsetattr(0, termios.TCSANOW, lines)
    os.write(1, b"@stopped@")
    command = commands.readline().strip()
    if command == "fg":
        os.tcsetpgrp(0, pid)
    os.kill(pid, signal.SIGCONT)
"""


class SignalsAtThePrompt(Scratch):
    def echo_off(self, fd):
        return not termios.tcgetattr(fd)[3] & termios.ECHO

    def read_until(self, fd, condition, seconds=10):
        output = b""
        deadline = time.time() + seconds
        while time.time() < deadline and not condition(output):
            if select.select([fd], [], [], 0.05)[0]:
                try:
                    output += os.read(fd, 4096)
                except OSError:  # the terminal's other side is closed
                    break
        return output

    def test_stop_and_go_on_at_the_prompt(self):
        # Ctrl-Z puts the terminal back and stops; a stop the program cannot
        # catch finds the shell's line mode put back. Either way "fg" switches
        # single keys on again, so one key (no Enter) answers the prompt.
        for stop in ("ctrl-z", "SIGSTOP"):
            with self.subTest(stop=stop):
                self.stop_and_go_on(stop)

    def stop_and_go_on(self, stop):
        self.write("bad.qvl", "V0")
        commands, control = os.pipe()
        os.set_inheritable(commands, True)
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(self.dir)
            os.environ.pop("QUARVEL_EDIT", None)
            os.execv(sys.executable, [sys.executable, "-c", MINI_SHELL, str(commands), BINARY,
                                      "bad"])
        os.close(commands)
        try:
            output = self.read_until(
                fd, lambda out: b"any other to quit" in out and self.echo_off(fd))
            self.assertTrue(self.echo_off(fd))
            if stop == "ctrl-z":
                os.write(fd, b"\x1a")
            else:
                os.kill(int(re.search(rb"@job (\d+)@", output).group(1)), signal.SIGSTOP)
            self.assertIn(b"@stopped@", self.read_until(fd, lambda out: b"@stopped@" in out))
            self.assertFalse(self.echo_off(fd))  # the shell's modes, as they were
            os.write(control, b"fg\n")
            self.read_until(fd, lambda out: self.echo_off(fd), 5)
            self.assertTrue(self.echo_off(fd))
            os.write(fd, b"q")
            self.read_until(fd, lambda out: False, 1)
            _, status = os.waitpid(pid, 0)
            self.assertEqual(os.waitstatus_to_exitcode(status), 3)
        finally:
            os.close(control)
            os.close(fd)

    def test_editor_that_cannot_start_says_why(self):
        self.write("bad.qvl", "V0")
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(self.dir)
            os.environ["QUARVEL_EDIT"] = "/nonexistent/editor"
            os.execv(BINARY, [BINARY, "bad"])
        try:
            self.read_until(fd, lambda out: b"any other to quit" in out and self.echo_off(fd))
            os.write(fd, b" ")
            output = self.read_until(fd, lambda out: b"exit 3" in out)
            _, status = os.waitpid(pid, 0)
        finally:
            os.close(fd)
        self.assertEqual(os.waitstatus_to_exitcode(status), 3)
        self.assertIn(b"can't exec editor: /nonexistent/editor\r\n", output)
        self.assertIn(b"quarvelcd: cannot start the editor '/nonexistent/editor': No such file",
                      output)

    def test_ignored_signal_stays_ignored(self):
        self.write("bad.qvl", "V0")
        previous = signal.signal(signal.SIGUSR1, signal.SIG_IGN)  # inherited by the program
        try:
            session = PromptSession(BINARY, self.dir)
        finally:
            signal.signal(signal.SIGUSR1, previous)
        os.kill(session.pid, signal.SIGUSR1)
        time.sleep(0.3)
        self.assertEqual(os.waitpid(session.pid, os.WNOHANG), (0, 0))
        os.write(session.fd, b"q")
        self.assertEqual(session.finish(), 3)
        self.assertEqual(session.modes_after, session.modes_before)

    def test_score_cannot_drive_the_terminal(self):
        # Escape sequences in the echoed head of the score arrive inert.
        self.write("bad.qvl", b"/ \x1b]0;title\x07 \x1b[?25l \x9b31m \xe2\x99\xaa\tok\nV0")
        session = PromptSession(BINARY, self.dir)
        os.write(session.fd, b"q")
        self.assertEqual(session.finish(), 3)
        self.assertIn(b"/ ^[]0;title^G ^[[?25l \\x9b31m \xe2\x99\xaa\tok", session.output)
        self.assertNotIn(b"\x1b", session.output.split(b"any other to quit")[0])

    def test_signal_at_the_error_prompt_restores_the_terminal(self):
        self.write("bad.qvl", "V0")
        # (Not SIGPIPE: Python ignores it, and so does a program it starts here.)
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGUSR1,
                       signal.SIGUSR2, signal.SIGALRM, signal.SIGVTALRM, signal.SIGPROF):
            with self.subTest(signal=number):
                session = PromptSession(BINARY, self.dir)
                self.assertFalse(session.modes_waiting[3] & termios.ECHO)
                os.kill(session.pid, number)
                self.assertEqual(session.finish(), -number)  # ended by the signal itself
                self.assertEqual(session.modes_after, session.modes_before)

if __name__ == "__main__":
    unittest.main()
