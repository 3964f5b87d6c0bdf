"""The sound output against the private PulseAudio server of
tests/harness/pulse.py: the output thread itself (a GoogleTest binary run
against the server), and the program in a pseudo-terminal when the server
goes away, comes back or stops answering. What a player meets: one line on
standard error for each stretch without sound, nothing spinning meanwhile,
sound back within seconds of the server, and Escape as quick as ever."""
import re
import subprocess
import time

import pytest

from conftest import program
from harness import sound
from harness.cpu import cpu_seconds
from harness.terminal import SESSION_READY, Terminal

LINE = re.compile(rb"pluck: no sound: [^\r\n]*\r\n")
SAID = {"kill start": b'cannot reach the sound server (Connection refused) on ALSA device "default"',
        "kill playing": b'lost the sound server (Input/output error) on ALSA device "default"',
        "freeze start": b"does not answer", "freeze playing": b"does not answer",
        "device start": b'cannot open ALSA device "hw:97,0"'}


def test_output_thread(pulse):
    recording = pulse.record()
    run = subprocess.run([program("audio_output_pulse_tests")], env=dict(pulse.env, PLUCK_RECORDING=recording.path),
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout[-3000:]


# The server killed (it crashed, or is restarting) or frozen (SIGSTOP: it
# stops answering), before pluck starts or while it plays, or a device that
# cannot be opened. Said at once, once per stretch; keys still pluck while
# nothing spins; sound is back soon after the server, and a second loss is
# said again. Escape does not wait for a server that never answers, and the
# recording keeps the instrument's time (but for the second a frozen
# server takes to be noticed).
@pytest.mark.parametrize("fault, when", [("kill", "start"), ("kill", "playing"), ("freeze", "start"),
                                         ("freeze", "playing"), ("device", "start")])
def test_server_trouble(pulse, tmp_path, fault, when):
    heard = pulse.record()
    if when == "start" and fault != "device":
        getattr(pulse, fault)()
    started = time.monotonic()
    device = ["--device", "hw:97,0"] if fault == "device" else []
    term = Terminal([program("pluck"), "--record", str(tmp_path / "take.wav")] + device, env=pulse.env)
    try:
        term.wait_for(SESSION_READY)
        losses = 2 if (fault, when) == ("kill", "playing") else 1
        for loss in range(1, losses + 1):
            if when == "playing":
                term.send("v")
                term.wait_for(lambda: any(heard.frames()), 5)  # sound before the trouble
                getattr(pulse, fault)()
            term.wait_for(lambda: len(LINE.findall(term.output)) == loss, 3.5)
            assert SAID[fault + " " + when] in LINE.findall(term.output)[-1]
            used = cpu_seconds(term.child.pid)
            for key in "zxcv":
                term.send(key)
                term.pump(0.6)
            used = cpu_seconds(term.child.pid) - used
            assert used < 0.25, "%.2f s of CPU in 2.4 s without sound" % used
            assert len(LINE.findall(term.output)) == loss, "said again while trying"
            if (fault, when) in (("freeze", "playing"), ("device", "start")):
                break
            pulse.start() if fault == "kill" else pulse.thaw()
            heard = pulse.record()
            term.wait_for(lambda: any(heard.frames()), 5)  # sound after the server came back
        term.send("\x1b")
        quit_at = time.monotonic()
        assert term.exit_status() == 0 and term.settings_restored()
        assert time.monotonic() - quit_at < 0.8, "Escape waited on the sound"
    finally:
        term.close()
    ran = time.monotonic() - started
    assert ran - 1.5 < len(sound.read_float_wav(str(tmp_path / "take.wav"))[0]) / 2 / 44100 < ran
