"""Windows programs under Wine, on a private virtual display, with keys held.

A Windows program reads the keyboard through GetAsyncKeyState, which under Wine
sees X key events only while a Wine window has the focus. So the program runs
inside a Wine desktop window (`wine explorer /desktop=NAME,WxH`) on a private
Xvfb display, and xdotool focuses that window and holds keys down for a while
(an instant tap could fall between two of the program's queries).

Wine runs through scripts/wine-run, in the build folder's own prefix, made once
and reused, as CTest runs the unit tests.

    with WineDesktop(build_dir) as desktop:
        program = desktop.start(exe, env=pulse.env)
        desktop.hold("v", 0.08)
        desktop.hold("Escape", 0.08)
        status = program.wait(10)   # the program's own exit status
        program.stdout, program.stderr

Everything is started in process groups of its own and ended on exit.
"""
import os
import shutil
import signal
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
DESKTOP_SIZE = "640x480"


def windows_path(path):
    """The path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def prefix_of(build_dir):
    """The Wine prefix of a build folder, as the build's test wrapper uses it."""
    return os.path.join(build_dir, "wine-prefix")


def _end_group(process):
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()


def _xdotool(display, *args):
    return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)


class WindowsProgram:
    """A program started in a Wine desktop of its own, which has the keyboard
    focus once the window is there (the first start in a new prefix makes
    the prefix first). Its exit status is written by the command interpreter
    that runs it, since the desktop does not pass it on."""

    def __init__(self, desktop, exe, args, env):
        name = "pluck%d" % len(desktop.programs)
        desktop.programs.append(self)
        self.dir = tempfile.mkdtemp(prefix="pluck-wine-", dir="/tmp")
        status = windows_path(os.path.join(self.dir, "status"))
        command = " ".join([windows_path(exe), *args])
        with open(os.path.join(self.dir, "stdout"), "wb") as out, open(os.path.join(self.dir, "stderr"), "wb") as err:
            self.process = subprocess.Popen(
                [WINE_RUN, desktop.prefix, "explorer", "/desktop=%s,%s" % (name, DESKTOP_SIZE),
                 "cmd", "/v:on", "/c", "%s & echo !errorlevel!>%s" % (command, status)],
                stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=dict(env or os.environ, DISPLAY=desktop.display),
                start_new_session=True)
        found = _xdotool(desktop.display, "search", "--sync", "--name", "^%s - Wine desktop$" % name)
        assert found.stdout.split(), "no Wine desktop window: " + self.stderr
        _xdotool(desktop.display, "windowfocus", "--sync", found.stdout.split()[0])

    def _read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read().decode("utf-8", "replace")

    stdout = property(lambda self: self._read("stdout"))
    stderr = property(lambda self: self._read("stderr"))

    def wait(self, limit_s):
        """The program's exit status, or None if it still runs after `limit_s`."""
        try:
            self.process.wait(limit_s)
            return int(self._read("status").strip())
        except (subprocess.TimeoutExpired, OSError, ValueError):
            return None

    def end(self):
        _end_group(self.process)
        shutil.rmtree(self.dir, ignore_errors=True)


class WineDesktop:
    """A private Xvfb display on which programs run in Wine desktops."""

    def __init__(self, build_dir):
        self.prefix = prefix_of(build_dir)
        self.programs = []
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", DESKTOP_SIZE + "x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            _end_group(self.xvfb)
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for program in self.programs:
            program.end()
        _end_group(self.xvfb)

    def start(self, exe, args=(), env=None):
        return WindowsProgram(self, exe, list(args), env)

    def hold(self, key, seconds):
        """Holds `key` (an X key name: v, space, Escape) down for `seconds`."""
        _xdotool(self.display, "keydown", key)
        time.sleep(seconds)
        _xdotool(self.display, "keyup", key)
