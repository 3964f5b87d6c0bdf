"""The sound output against the private sound servers of
tests/harness/pulse.py: the output thread itself (a GoogleTest binary run
against the server), and the program in a pseudo-terminal when the server
goes away, comes back or stops answering. What a player meets: one line on
standard error for each stretch without sound, nothing spinning meanwhile,
sound back within seconds of the server, and Escape as quick as ever."""
import array
import re
import subprocess
import time

import pytest

from conftest import program
from harness import sound
from harness.cpu import cpu_seconds
from harness.terminal import SESSION_READY, Terminal

LINE = re.compile(rb"pluck: no sound: [^\r\n]*\r\n")
# In each plugin's words of what went wrong (PulseAudio's: connection
# refused, input/output error; PipeWire's: host is down, broken pipe).
SAID = {"kill start": rb'cannot reach the sound server \(.+\) on ALSA device "default"',
        "kill playing": rb'lost the sound server \(.+\) on ALSA device "default"',
        "freeze start": rb"does not answer", "freeze playing": rb"does not answer",
        "device start": rb'cannot open ALSA device "hw:97,0"'}


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
# recording keeps the instrument's time: the plucks in it are as far apart
# as the keys were (within a ring and the scheduling), the second a frozen
# server takes to be noticed included.
@pytest.mark.parametrize("fault, when", [("kill", "start"), ("kill", "playing"), ("freeze", "start"),
                                         ("freeze", "playing"), ("device", "start")])
def test_server_trouble(pulse, tmp_path, fault, when):
    heard, sent = pulse.record(), []
    if when == "start" and fault != "device":
        getattr(pulse, fault)()
    device = ["--device", "hw:97,0"] if fault == "device" else []
    term = Terminal([program("pluck"), "--record", str(tmp_path / "take.wav")] + device, env=pulse.env)

    def press(key, then_s=0.0):
        term.send(key)
        sent.append(time.monotonic())
        term.pump(then_s)
    try:
        term.wait_for(SESSION_READY)
        term.pump(1.0)  # past the server's first gulp, and the second a new device may be slow to start
        losses = 2 if (fault, when) == ("kill", "playing") else 1
        for loss in range(1, losses + 1):
            if when == "playing":
                press("nm"[loss - 1])
                term.wait_for(lambda: any(heard.frames()), 5)  # sound before the trouble
                getattr(pulse, fault)()
                term.pump(0.5)
                if fault == "freeze":
                    press("b")  # before the freeze is noticed
            term.wait_for(lambda: len(LINE.findall(term.output)) == loss, 3.5)
            assert re.search(SAID[fault + " " + when], LINE.findall(term.output)[-1])
            used = cpu_seconds(term.child.pid)
            for key in ("zxcv", "kbzx")[loss - 1]:
                press(key, 0.6)
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
    take = sound.channel(sound.read_float_wav(str(tmp_path / "take.wav"))[0], 0)
    found = sound.onsets(array.array("f", bytes(4 * 4410)) + take)
    found = [f for k, f in enumerate(found) if k == 0 or f - found[k - 1] > 2205]  # one pluck, two windows
    assert len(found) == len(sent), found
    late = [(f - found[0]) / 44100 - (s - sent[0]) for f, s in zip(found, sent)]
    assert all(abs(x) < 0.2 for x in late), "plucks in the take this late against the keys: %s" % late
