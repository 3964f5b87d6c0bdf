"""A private sound server for the tests and measuring scripts that play real
sound: PulseAudio, or PipeWire as today's desktops run it (its daemon, the
WirePlumber session manager and pipewire-pulse, on a message bus of their own).

One null sink, "pluck_test" (float32le, stereo, 44.1 kHz, the instrument's own
format, so a stream at full volume reaches it unconverted), whose monitor is
recorded with parec: a test reads back, as exact float32 frames, what a
program sent to ALSA's "default" PCM (or, under Wine, to winmm).

ALSA's "default" is routed to the server by a configuration file of its own,
not by the system's "use pulse when it runs" hook: the route then does not
depend on the machine having a sound card, and a server that is not there
makes opening "default" fail instead of falling back to another device. The
route is ALSA's pulse plugin (to PulseAudio or to pipewire-pulse) or
PipeWire's own ALSA plugin, which a desktop with PipeWire also uses; that
one is taken out of Debian's pipewire-alsa package by scripts/install-deps
(the package itself conflicts with pulseaudio's).

    with start_server("pipewire-alsa") as server:   # or PulseServer()
        recording = server.record()
        subprocess.run([program], env=server.env)
        frames = recording.stop()          # array('f'): left, right, left, ...

Everything runs in process groups of its own and is killed on exit.
"""
import array
import glob
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

SINK = "pluck_test"
PULSE_ROUTE = "pcm.!default { type pulse }\nctl.!default { type pulse }\n"
PIPEWIRE_ALSA = "/usr/local/lib/pluck-tests/pipewire-alsa"
# A server, and ALSA's route to it: the names the tests are parametrised by.
SERVERS = ("pulseaudio", "pipewire-pulse", "pipewire-alsa")

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


def write_file(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


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


def pipewire_route():
    """PipeWire's own ALSA plugin, named by its place, with the "pipewire"
    device its package defines, and ALSA's default pointed at that."""
    [plugins] = glob.glob(PIPEWIRE_ALSA + "/usr/lib/*/alsa-lib") or [None]
    assert plugins, "PipeWire's ALSA plugin is not in %s: run scripts/install-deps" % PIPEWIRE_ALSA
    return ("pcm_type.pipewire { lib \"%s/libasound_module_pcm_pipewire.so\" }\n"
            "ctl_type.pipewire { lib \"%s/libasound_module_ctl_pipewire.so\" }\n"
            "<%s/usr/share/alsa/alsa.conf.d/50-pipewire.conf>\n"
            "pcm.!default pipewire\nctl.!default pipewire\n" % (plugins, plugins, PIPEWIRE_ALSA))


class SoundServer:
    """What both servers share: a private folder (short: socket paths are
    limited), the ALSA route, the environment for the programs under test,
    recordings of the sink and the server's troubles."""

    name, device = None, "pulse"

    def __init__(self, realtime=False, route="pulse"):
        # realtime=True: the server's threads at real-time priority, as
        # rtkit gives a desktop's sound server (root may take it itself).
        self.realtime = realtime
        self.dir = tempfile.mkdtemp(prefix="pluck-sound-", dir="/tmp")
        write_file(os.path.join(self.dir, "asound.conf"), PULSE_ROUTE if route == "pulse" else pipewire_route())
        self.processes, self.recordings = [], []
        # For children: every program started with this plays to the server.
        self.env = dict(os.environ, PULSE_SERVER="unix:" + self.socket, PIPEWIRE_RUNTIME_DIR=self.dir,
                        ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:" + self.dir + "/asound.conf")
        if route != "pulse":
            self.device = route
            # The pulseaudio package's ALSA hook, which makes pulse the
            # default whenever a PulseAudio server answers (pipewire-pulse
            # does), is not on a PipeWire desktop; this tells it to keep out.
            self.env["PULSE_INTERNAL"] = "1"
        self.start()

    def launch(self, argv, env):
        """Starts one of the server's processes, its output in server.log."""
        with open(os.path.join(self.dir, "server.log"), "ab") as log:
            self.processes.append(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env,
                                                   start_new_session=True))

    def wait_for_socket(self, path, what):
        wait_until(lambda: any(p.poll() is not None for p in self.processes) or accepts(path),
                   what + " did not accept connections within 10 s")
        assert all(p.poll() is None for p in self.processes), \
            what + " exited at start: " + open(self.dir + "/server.log").read()

    def private_env(self):
        """The server keeps its files in the private directory and never
        looks for the session's bus or a display."""
        env = {k: v for k, v in self.env.items() if k not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY")}
        env.update(HOME=self.dir, XDG_RUNTIME_DIR=self.dir, XDG_CONFIG_HOME=self.dir + "/config",
                   XDG_STATE_HOME=self.dir + "/state", PULSE_STATE_PATH=self.dir + "/state")
        return env

    def record(self, latency_ms=20):
        path = os.path.join(self.dir, "recording-%d.raw" % len(self.recordings))
        self.recordings.append(Recording(self, path, latency_ms))
        return self.recordings[-1]

    def kill(self):
        """The server goes away, as when it crashes or is restarted."""
        for r in self.recordings:
            end_group(r.process, signal.SIGINT)
        for p in reversed(self.processes):
            end_group(p, signal.SIGKILL)
        self.processes = []
        for path in self.sockets():
            if os.path.exists(path):
                os.unlink(path)

    def sockets(self):
        return [self.socket]

    def freeze(self):
        for p in self.processes:
            os.killpg(p.pid, signal.SIGSTOP)

    def thaw(self):
        for p in self.processes:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGCONT)

    def close(self):
        self.thaw()
        self.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class PulseServer(SoundServer):
    name = "pulseaudio"
    socket = property(lambda self: os.path.join(self.dir, "sock"))

    def start(self):
        """Starts (or starts again, on the same socket) the server."""
        yes_no = "yes" if self.realtime else "no"
        self.launch(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                     "--system=no", "--realtime=" + yes_no, "--high-priority=" + yes_no, "--log-target=stderr",
                     "-L", "module-null-sink sink_name=%s rate=44100 format=float32le channels=2 "
                           "channel_map=front-left,front-right norewinds=1" % SINK,
                     "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + self.socket],
                    self.private_env())
        self.wait_for_socket(self.socket, "pulseaudio")


# PipeWire's graph runs at the instrument's rate, with the null sink as its
# one output. The session manager links streams to it (as the default sink)
# and leaves the machine's own devices alone.
PIPEWIRE_CONFIG = {"pipewire/pipewire.conf.d/90-pluck-test.conf": """context.properties = {
    default.clock.rate = 44100
    default.clock.allowed-rates = [ 44100 ]
}
context.objects = [
    { factory = adapter
      args = { factory.name = support.null-audio-sink  node.name = %s  media.class = Audio/Sink
               audio.format = F32  audio.rate = 44100  audio.channels = 2  audio.position = [ FL FR ] } }
]
""" % SINK,
                   "wireplumber/main.lua.d/90-pluck-test.lua": "alsa_monitor.enabled = false\n"
                   "v4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n",
                   "wireplumber/bluetooth.lua.d/90-pluck-test.lua": "bluez_monitor.enabled = false\n"}


class PipeWireServer(SoundServer):
    name = "pipewire"
    socket = property(lambda self: os.path.join(self.dir, "pulse", "native"))

    def sockets(self):
        return [os.path.join(self.dir, name) for name in ("bus", "pipewire-0", "pipewire-0-manager")] + [self.socket]

    def start(self):
        """Starts (or starts again, on the same sockets) the message bus,
        the daemon, its session manager and pipewire-pulse."""
        env = self.private_env()
        for name, text in PIPEWIRE_CONFIG.items():
            write_file(os.path.join(self.dir, "config", name), text)
        env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + self.dir + "/bus"
        self.launch(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" +
                     env["DBUS_SESSION_BUS_ADDRESS"]], env)
        self.wait_for_socket(self.dir + "/bus", "dbus-daemon")
        # Without real-time: no capability to raise itself, as PulseAudio's
        # --realtime=no (rtkit, which would grant it, is not on this bus).
        ordinary = [] if self.realtime else ["setpriv", "--inh-caps=-sys_nice", "--bounding-set=-sys_nice"]
        self.launch(ordinary + ["pipewire"], env)
        self.wait_for_socket(self.dir + "/pipewire-0", "pipewire")
        self.launch(ordinary + ["wireplumber"], env)
        self.launch(ordinary + ["pipewire-pulse"], env)
        self.wait_for_socket(self.socket, "pipewire-pulse")
        # Ready once the session manager has chosen the sink as the default.
        wait_until(lambda: subprocess.run(["pactl", "get-default-sink"], env=self.env, capture_output=True,
                                          text=True).stdout.strip() == SINK,
                   "the session manager chose no default sink within 10 s")


def start_server(name="pulseaudio", realtime=False):
    """One of SERVERS: a server and ALSA's route to it."""
    server = PulseServer if name == "pulseaudio" else PipeWireServer
    return server(realtime, route="pipewire" if name == "pipewire-alsa" else "pulse")
