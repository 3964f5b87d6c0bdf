"""A private PulseAudio server with a null sink, for the measuring scripts.

The same set-up as the tests' fixture (tests/support/pulse_server.h): the
server lives in a temporary directory, ALSA's "default" is routed to it by a
configuration file of its own, and everything is stopped on exit.
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

ALSA_ROUTE = "pcm.!default { type pulse }\nctl.!default { type pulse }\n"


class PrivatePulse:
    def __enter__(self):
        self.dir = tempfile.mkdtemp(prefix="pluck-pulse-", dir="/tmp")
        self.socket = os.path.join(self.dir, "sock")
        config = os.path.join(self.dir, "asound.conf")
        with open(config, "w") as f:
            f.write(ALSA_ROUTE)
        for sub in ("runtime", "config"):
            os.makedirs(os.path.join(self.dir, sub), mode=0o700)
        env = {k: v for k, v in os.environ.items()
               if k not in ("PULSE_SERVER", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY")}
        env.update(HOME=self.dir, XDG_RUNTIME_DIR=self.dir + "/runtime",
                   XDG_CONFIG_HOME=self.dir + "/config", PULSE_STATE_PATH=self.dir + "/state")
        self.log = open(os.path.join(self.dir, "server.log"), "w")
        self.server = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--system=no", "--realtime=no", "--high-priority=no", "--log-target=stderr",
             "-L", "module-null-sink sink_name=pluck_measure rate=44100 format=float32le channels=2",
             "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + self.socket],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log, env=env,
            start_new_session=True)
        deadline = time.monotonic() + 10
        while True:
            try:
                with socket.socket(socket.AF_UNIX) as s:
                    s.connect(self.socket)
                break
            except OSError:
                if self.server.poll() is not None or time.monotonic() > deadline:
                    self.__exit__()
                    raise RuntimeError("pulseaudio did not start")
                time.sleep(0.01)
        self.env = dict(os.environ, PULSE_SERVER="unix:" + self.socket,
                        ALSA_CONFIG_PATH="/usr/share/alsa/alsa.conf:" + config)
        return self

    def __exit__(self, *exc):
        if self.server.poll() is None:
            os.killpg(self.server.pid, signal.SIGTERM)
            try:
                self.server.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(self.server.pid, signal.SIGKILL)
                self.server.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def build_dir():
    """The release build, configured and brought up to date."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.environ.get("PLUCK_BUILD", os.path.join(root, "build", "release"))
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        subprocess.run(["cmake", "--preset", "release", "-B", build], cwd=root, check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "pluck", "measure_soak",
                    "measure_key_latency"], cwd=root, check=True, stdout=subprocess.DEVNULL)
    return build
