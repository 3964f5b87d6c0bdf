"""A program in a real pseudo-terminal, driven the way a terminal drives it.

pluck asks the terminal whether it speaks the kitty keyboard protocol
(CSI ? u, then CSI c, which every terminal answers); `Terminal` answers as a
plain terminal or, with kitty=True, as one that supports the protocol.

    term = Terminal([pluck], env=pulse.env)
    term.wait_for(SESSION_READY)
    term.send("v")
    assert term.exit_status() == 0 and term.settings_restored()
"""
import os
import pickle
import signal
import tempfile
import termios
import time

import pexpect

USAGE = b"    Play : Z, X, C, V, B, N, M, K\r\nAutoPlay : Hold SpaceKey.\r\n"
# The program's session modes are on once it has written this.
SESSION_READY = b"\x1b[?1004h"
QUERY = b"\x1b[c"
PLAIN_ANSWER = b"\x1b[?62c"
KITTY_ANSWER = b"\x1b[?0u\x1b[?62c"
# Escape, Ctrl-C, Space press/repeat/release as the keyboard protocol sends them.
KITTY_ESCAPE = b"\x1b[27u"
KITTY_CTRL_C = b"\x1b[99;5u"
KITTY_SPACE = (b"\x1b[32u", b"\x1b[32;1:2u", b"\x1b[32;1:3u")


class Terminal:
    def __init__(self, argv, env=None, kitty=False, answer=True, dimensions=(24, 80)):
        # The settings the program finds, noted in the child just before it
        # runs the program: read here afterwards, they may already be its own.
        handle, noted = tempfile.mkstemp(prefix="pluck-tty-")
        os.close(handle)

        def note_settings():
            with open(noted, "wb") as f:
                pickle.dump(termios.tcgetattr(0), f)

        try:
            self.child = pexpect.spawn(argv[0], list(argv[1:]), env=env, dimensions=dimensions, timeout=10,
                                       preexec_fn=note_settings)
            with open(noted, "rb") as f:
                self.before = pickle.load(f)
        finally:
            os.unlink(noted)
        self.child.delaybeforesend = None
        self.output = b""
        self.kitty = kitty
        self.answered = not answer
        self.status = None
        self.after = None

    def pump(self, seconds):
        """Reads what the program writes for `seconds`, answering its query."""
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            try:
                chunk = self.child.read_nonblocking(65536, timeout=max(0.0, min(left, 0.05)))
                self.output += chunk
            except pexpect.TIMEOUT:
                pass
            except pexpect.EOF:
                if left > 0:
                    time.sleep(min(left, 0.01))
            if not self.answered and QUERY in self.output:
                self.answered = True
                self.send(KITTY_ANSWER if self.kitty else PLAIN_ANSWER)
            if left <= 0:
                return

    def wait_for(self, text, limit_s=10):
        end = time.monotonic() + limit_s
        while text not in self.output and time.monotonic() < end:
            self.pump(0.01)
        if text not in self.output:
            raise AssertionError("never wrote %r; wrote %r" % (text, self.output[-500:]))

    def send(self, data):
        self.child.send(data.encode() if isinstance(data, str) else data)

    def hold(self, seconds, first, repeat, release=b"", every_s=0.03):
        """Holds a key: `first`, then `repeat` every `every_s`, then `release`."""
        end = time.monotonic() + seconds
        self.send(first)
        while time.monotonic() < end:
            self.pump(every_s)
            self.send(repeat)
        if release:
            self.send(release)

    def signal(self, number=signal.SIGTERM):
        self.child.kill(number)

    def exit_status(self, limit_s=6):
        """Waits for the end of the program: its exit status, or -signal."""
        end = time.monotonic() + limit_s
        while self.child.isalive() and time.monotonic() < end:
            self.pump(0.01)
        if self.child.isalive():
            raise AssertionError("still running %s s later; wrote %r" % (limit_s, self.output[-500:]))
        self.pump(0.02)
        self.after = termios.tcgetattr(self.child.child_fd)
        self.child.close()
        self.status = self.child.exitstatus if self.child.signalstatus is None else -self.child.signalstatus
        return self.status

    def settings_restored(self):
        """After exit_status(): the terminal is as the program found it."""
        return self.after == self.before

    def visible(self):
        """The output without escape sequences: the text the player sees."""
        text, i, out = self.output, 0, bytearray()
        while i < len(text):
            if text[i] != 0x1B:
                out.append(text[i])
            elif i + 1 < len(text) and text[i + 1] == ord("["):
                i += 2
                while i < len(text) and not 0x40 <= text[i] <= 0x7E:
                    i += 1
            else:
                i += 1
            i += 1
        return bytes(out)

    def close(self):
        if self.child.isalive():
            self.child.kill(signal.SIGKILL)
        self.child.close(force=True)
