"""A private PulseAudio server for the tests and measuring scripts that play
real sound.

One null sink, "pluck_test" (float32le, stereo, 44.1 kHz, the instrument's own
format, so a stream at full volume reaches it unconverted), whose monitor is
recorded with parec: a test reads back, as exact float32 frames, what a
program sent to ALSA's "default" PCM (or, under Wine, to winmm).

ALSA's "default" is routed to the server by a configuration file of its own,
not by the system's "use pulse when it runs" hook: the route then does not
depend on the machine having a sound card, and a server that is not there
makes opening "default" fail instead of falling back to another device.

    with PulseServer() as pulse:
        recording = pulse.record()
        subprocess.run([program], env=pulse.env)
        frames = recording.stop()          # array('f'): left, right, left, ...

Everything runs in process groups of its own and is killed on exit.
"""
import array
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

SINK = "pluck_test"
ALSA_ROUTE = "pcm.!default { type pulse }\nctl.!default { type pulse }\n"


def end_group(process, first_signal):
    if process.poll() is None:
        os.killpg(process.pid, first_signal)
        try:
            process.wait(3)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def wait_until(condition, what, limit_s=10):
    deadline = time.monotonic() + limit_s
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.01)


def accepts(path):
    with socket.socket(socket.AF_UNIX) as s:
        return s.connect_ex(path) == 0


class Recording:
    """parec on the sink's monitor, writing raw frames to `path`."""

    def __init__(self, pulse, path, latency_ms=20):
        self.path = path
        # A short latency makes parec write what it gets at once, so the
        # file grows from the first frame and tells when recording began.
        with open(path, "wb") as out:
            self.process = subprocess.Popen(
                ["parec", "--raw", "--format=float32le", "--rate=44100", "--channels=2",
                 "--latency-msec=%d" % latency_ms, "-d", SINK + ".monitor"],
                stdin=subprocess.DEVNULL, stdout=out, env=pulse.env, start_new_session=True)
        wait_until(lambda: self.process.poll() is not None or os.path.getsize(path) >= 8,
                   "parec recorded nothing within 10 s")

    def frames(self):
        """The whole frames recorded so far, interleaved."""
        with open(self.path, "rb") as f:
            data = f.read()
        return array.array("f", data[: len(data) // 8 * 8])

    def stop(self, settle_s=0.4):
        """Waits for audio already sent to reach the monitor, then ends parec."""
        time.sleep(settle_s)
        end_group(self.process, signal.SIGINT)
        return self.frames()


class PulseServer:
    def __init__(self, realtime=False):
        # realtime=True: the server's threads at real-time priority, as
        # rtkit gives a desktop's sound server (root may take it itself).
        self.realtime = realtime
        self.dir = tempfile.mkdtemp(prefix="pluck-pulse-", dir="/tmp")  # short: socket paths are limited
        self.socket = os.path.join(self.dir, "sock")
        with open(os.path.join(self.dir, "asound.conf"), "w") as f:
            f.write(ALSA_ROUTE)
        self.server, self.recordings = None, []
        # For children: every program started with this plays to the server.
        self.env = dict(os.environ, PULSE_SERVER="unix:" + self.socket,
                        ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:" + self.dir + "/asound.conf")
        self.start()

    def start(self):
        """Starts (or starts again, on the same socket) the server."""
        # It keeps its files in the private directory and never looks for a
        # session bus or a display.
        env = {k: v for k, v in self.env.items() if k not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY")}
        env.update(HOME=self.dir, XDG_RUNTIME_DIR=self.dir, XDG_CONFIG_HOME=self.dir,
                   PULSE_STATE_PATH=self.dir + "/state")
        yes_no = "yes" if self.realtime else "no"
        with open(os.path.join(self.dir, "server.log"), "ab") as log:
            self.server = subprocess.Popen(
                ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                 "--system=no", "--realtime=" + yes_no, "--high-priority=" + yes_no, "--log-target=stderr",
                 "-L", "module-null-sink sink_name=%s rate=44100 format=float32le channels=2 "
                       "channel_map=front-left,front-right norewinds=1" % SINK,
                 "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + self.socket],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env, start_new_session=True)
        wait_until(lambda: self.server.poll() is not None or accepts(self.socket),
                   "pulseaudio did not accept connections within 10 s")
        assert self.server.poll() is None, "pulseaudio exited at start: " + open(self.dir + "/server.log").read()

    def record(self, latency_ms=20):
        path = os.path.join(self.dir, "recording-%d.raw" % len(self.recordings))
        self.recordings.append(Recording(self, path, latency_ms))
        return self.recordings[-1]

    def kill(self):
        """The server goes away, as when it crashes or is restarted."""
        for r in self.recordings:
            end_group(r.process, signal.SIGINT)
        end_group(self.server, signal.SIGKILL)
        if os.path.exists(self.socket):
            os.unlink(self.socket)

    def freeze(self):
        os.killpg(self.server.pid, signal.SIGSTOP)

    def thaw(self):
        os.killpg(self.server.pid, signal.SIGCONT)

    def close(self):
        if self.server.poll() is None:
            self.thaw()
        self.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

