"""The program at its compile-error prompt under a pseudo-terminal."""
import os
import pty
import select
import termios
import time


class PromptSession:
    """Starts `binary score` in `directory` on a new pseudo-terminal and waits
    until the error prompt is shown and the terminal is switched to reading
    single keys without echo."""

    def __init__(self, binary, directory, score="bad"):
        # The program starts only once the terminal's modes have been read.
        go_read, go_write = os.pipe()
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.close(go_write)
            os.read(go_read, 1)
            os.chdir(directory)
            os.environ.pop("QUARVEL_EDIT", None)
            os.execv(binary, [binary, score])
        os.close(go_read)
        self.modes_before = termios.tcgetattr(self.fd)
        os.write(go_write, b"g")
        os.close(go_write)
        self.output = b""
        deadline = time.time() + 20
        while time.time() < deadline:
            if select.select([self.fd], [], [], 0.05)[0]:
                self.output += os.read(self.fd, 4096)
            if b"any other to quit" in self.output and not self.modes()[3] & termios.ECHO:
                break
        self.modes_waiting = self.modes()

    def modes(self):
        return termios.tcgetattr(self.fd)

    def finish(self):
        """Reads to the end; answers the exit code (negative: the signal)."""
        while True:
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            self.output += chunk
        _, status = os.waitpid(self.pid, 0)
        self.modes_after = self.modes()
        os.close(self.fd)
        return os.waitstatus_to_exitcode(status)
