"""What the Python tests share: the program under test, a scratch directory
per test with the files a case needs, and running the program there with a
sound device that does not exist and no editor, unless a test asks for one."""
import os
import shutil
import subprocess
import tempfile
import unittest
import zlib

BINARY = os.environ.get("QUARVELCD", "quarvelcd")
# The sanitizer build is several times slower and larger: it gets smaller inputs.
SANITIZED = os.environ.get("QUARVEL_SANITIZED") == "1"
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")


def crc_of(data):
    """The program's CRC chains from 0xFFFFFFFF like zlib's running value."""
    return zlib.crc32(data, 0xFFFFFFFF)


def program_env(extra=None):
    """The environment the program runs in: no sound device, no editor."""
    env = dict(os.environ, QUARVEL_DEVICE="quarvel_no_such_device")
    env.pop("QUARVEL_EDIT", None)
    env.update(extra or {})
    return env


class Scratch(unittest.TestCase):
    """A test case with its own directory, removed afterwards."""
    prefix = "quarvel-test-"

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix=self.prefix)
        os.chmod(self.dir, 0o755)
        self.addCleanup(shutil.rmtree, self.dir, True)

    def write(self, name, data):
        """Writes a file of the scratch directory; text is taken byte for byte."""
        path = os.path.join(self.dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data.encode("latin-1") if isinstance(data, str) else data)
        return path

    def path(self, name):
        return os.path.join(os.path.realpath(self.dir), name)

    def run_cli(self, *args, stdin=b"", env=None, cwd=None, user=None, timeout=300):
        command = [BINARY, *args]
        if user is not None:
            command = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups",
                       *command]
        return subprocess.run(command, input=stdin, capture_output=True, cwd=cwd or self.dir,
                              env=program_env(env), timeout=timeout)
