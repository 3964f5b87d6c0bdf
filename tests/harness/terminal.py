"""A program in a real pseudo-terminal, driven the way a terminal drives it.

pluck asks the terminal whether it speaks the kitty keyboard protocol
(CSI ? u, then CSI c, which every terminal answers); `Terminal` answers as a
plain terminal or, with kitty=True, as one that supports the protocol.

    term = Terminal([pluck], env=pulse.env)
    term.wait_for(SESSION_READY)
    term.send("v")
    assert term.exit_status() == 0 and term.settings_restored()
"""
import ast
import os
import re
import signal
import tempfile
import termios
import time

import pexpect

USAGE = b"    Play : Z, X, C, V, B, N, M, K\r\nAutoPlay : Hold SpaceKey.\r\n"
# The program's session modes are on once it has written this.
SESSION_READY = b"\x1b[?1004h"
# Its query (CSI c) and the answers: a plain terminal's, a kitty one's.
QUERY, PLAIN_ANSWER, KITTY_ANSWER = b"\x1b[c", b"\x1b[?62c", b"\x1b[?0u\x1b[?62c"
# Escape, Ctrl-C, Space press/repeat/release as the keyboard protocol sends them.
KITTY_ESCAPE = b"\x1b[27u"
KITTY_CTRL_C = b"\x1b[99;5u"
KITTY_SPACE = (b"\x1b[32u", b"\x1b[32;1:2u", b"\x1b[32;1:3u")
KITTY_PUSH_POP = re.compile(rb"\x1b\[([<>])[0-9]*u")


class Terminal:
    def __init__(self, argv, env=None, kitty=False, typed_first=b""):
        """`typed_first`: keys typed while the program waits for the answer."""
        # The settings the program starts with (and its terminal's name),
        # read on its side just before it starts: read here after the
        # start, they may already be its own.
        with tempfile.NamedTemporaryFile(prefix="pluck-tty-") as settings:
            def record_settings():
                with open(settings.name, "w") as f:
                    f.write(repr((termios.tcgetattr(0), os.ttyname(0))))

            self.child = pexpect.spawn(argv[0], list(argv[1:]), env=env, dimensions=(24, 80), timeout=10,
                                       preexec_fn=record_settings)
            self.before, self.device = ast.literal_eval(open(settings.name).read())
        self.child.delaybeforesend = None
        self.output = b""
        self.answer = typed_first + (KITTY_ANSWER if kitty else PLAIN_ANSWER)

    def pump(self, seconds):
        """Reads what the program writes for `seconds`, answering its query."""
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            try:
                self.output += self.child.read_nonblocking(65536, timeout=max(0.0, min(left, 0.05)))
            except pexpect.TIMEOUT:
                pass
            except pexpect.EOF:
                time.sleep(max(0.0, min(left, 0.01)))
            if self.answer and QUERY in self.output:
                self.send(self.answer)
                self.answer = None
            if left <= 0:
                return

    def wait_for(self, text, limit_s=10, count=1):
        """Pumps until the program has written `text` (`count` times), or
        until `text()` holds if it is a condition."""
        done = text if callable(text) else lambda: self.output.count(text) >= count
        end = time.monotonic() + limit_s
        while not done() and time.monotonic() < end:
            self.pump(0.01)
        assert done(), "waited in vain for %r; wrote %r" % (text, self.output[-500:])

    def send(self, data):
        self.child.send(data.encode() if isinstance(data, str) else data)

    def hold(self, first, repeat, release, seconds, delay_s=0.4, every_s=0.03):
        """Holds a key as a keyboard does: `first`, after `delay_s` `repeat`
        every `every_s`, and `release` when `seconds` are up."""
        end = time.monotonic() + seconds
        self.send(first)
        self.pump(delay_s)
        while time.monotonic() < end:
            self.send(repeat)
            self.pump(every_s)
        self.send(release)

    def exit_status(self, limit_s=6):
        """Waits for the end of the program: its exit status, or -signal."""
        end = time.monotonic() + limit_s
        while self.child.isalive() and time.monotonic() < end:
            self.pump(0.01)
        assert not self.child.isalive(), "still running; wrote %r" % self.output[-500:]
        self.pump(0.02)
        self.after = termios.tcgetattr(self.child.child_fd)
        self.child.close()
        return self.child.exitstatus if self.child.signalstatus is None else -self.child.signalstatus

    def settings_restored(self):
        """After exit_status(): the terminal is as the program found it."""
        return self.after == self.before

    def keyboard_stack(self, since=0):
        """How many keyboard-protocol entries the program's output from
        `since` on leaves on a kitty terminal's stack (empty at `since`)."""
        depth = 0
        for m in KITTY_PUSH_POP.finditer(self.output, since):
            depth = depth + 1 if m.group(1) == b">" else max(0, depth - 1)
        return depth

    def visible(self):
        """The output without escape sequences: the text the player sees."""
        return re.sub(rb"\x1b(\[[\x20-\x3f]*[\x40-\x7e]|.)", b"", self.output, flags=re.S)

    def close(self):
        if self.child.isalive():
            self.child.kill(signal.SIGKILL)
        self.child.close(force=True)
