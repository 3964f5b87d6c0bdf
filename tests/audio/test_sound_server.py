"""pluck against a sound server that goes away, comes back or stops answering.

The real program in a pseudo-terminal plays to the private PulseAudio server
of tests/harness/pulse.py, which each test kills and starts again on the same
socket, or freezes (SIGSTOP) and thaws. What a player meets: one line on
standard error for each stretch without sound, sound back within seconds of
the server, and Escape as quick as ever.
"""
import re
import time

import pytest

from conftest import program
from harness.terminal import SESSION_READY, Terminal

NO_SOUND = b"pluck: no sound: "
LINE = re.compile(rb"pluck: no sound: [^\r\n]*\r\n")
# Bounds a player would notice, with room for a loaded machine.
SAID_WITHIN_S = 2.5
BACK_WITHIN_S = 5.0
QUIT_WITHIN_S = 0.8


def until(term, condition, limit_s):
    """Pumps the terminal until `condition()`; the seconds it took, or None."""
    start = time.monotonic()
    while not condition():
        if time.monotonic() - start > limit_s:
            return None
        term.pump(0.02)
    return time.monotonic() - start


def sounding(recording):
    return any(x != 0.0 for x in recording.frames())


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / 100.0


def lines(term):
    return LINE.findall(term.output)


def quit_quickly(term):
    term.send("\x1b")
    start = time.monotonic()
    assert term.exit_status() == 0
    assert time.monotonic() - start < QUIT_WITHIN_S, "Escape waited on the sound"
    assert term.settings_restored()


# The server is not there when pluck starts, or goes away while it plays
# (twice: each loss is said). Said at once; keys still pluck; nothing spins
# while pluck tries again; sound is back soon after the server.
REASON = {"before start": b'cannot reach the sound server (Connection refused) on ALSA device "default"',
          "while playing": b'lost the sound server (Input/output error) on ALSA device "default"'}
ADVICE = {"before start": b"is PulseAudio or PipeWire running?",
          "while playing": b"has PulseAudio or PipeWire stopped?"}


@pytest.mark.parametrize("gone", ["before start", "while playing"])
def test_server_gone_is_said_once_and_sound_returns(pulse, gone):
    if gone == "before start":
        pulse.kill()
    else:
        recording = pulse.record()
    term = Terminal([program("pluck")], env=pulse.env)
    try:
        term.wait_for(SESSION_READY)
        losses = 1 if gone == "before start" else 2
        for loss in range(1, losses + 1):
            if gone == "while playing":
                term.send("v")
                assert until(term, lambda: sounding(recording), 5) is not None, "no sound before the loss"
                pulse.kill()
            assert until(term, lambda: len(lines(term)) == loss, SAID_WITHIN_S) is not None, \
                "not said: %r" % term.output[-300:]
            assert REASON[gone] in lines(term)[-1] and ADVICE[gone] in lines(term)[-1], lines(term)
            # Plucks while it keeps trying; they still ring when sound returns.
            used = cpu_seconds(term.child.pid)
            for key in "zxcv":
                term.send(key)
                term.pump(0.6)
            used = cpu_seconds(term.child.pid) - used
            assert used < 0.25, "%.2f s of CPU in 2.4 s without a server" % used
            assert len(lines(term)) == loss, "said again while trying: %r" % lines(term)

            pulse.start()
            recording = pulse.record()
            assert until(term, lambda: sounding(recording), BACK_WITHIN_S) is not None, \
                "no sound %s s after the server came back" % BACK_WITHIN_S
        quit_quickly(term)
        assert len(lines(term)) == losses
    finally:
        term.close()


# The server stops answering (SIGSTOP) before pluck starts or while it plays.
# Said within seconds; Escape does not wait for a server that never answers;
# one that answers again gets its sound.
@pytest.mark.parametrize("frozen, then", [("at start", "escape"), ("at start", "thaw"),
                                          ("while playing", "escape")])
def test_server_that_does_not_answer(pulse, frozen, then):
    recording = pulse.record()
    if frozen == "at start":
        pulse.freeze()
    term = Terminal([program("pluck")], env=pulse.env)
    try:
        term.wait_for(SESSION_READY)
        if frozen == "while playing":
            term.send("v")
            assert until(term, lambda: sounding(recording), 5) is not None, "no sound before the freeze"
            pulse.freeze()
        said = until(term, lambda: NO_SOUND in term.output, SAID_WITHIN_S + 1)
        assert said is not None and said < SAID_WITHIN_S + (0 if frozen == "at start" else 1), \
            "not said: %r" % term.output[-300:]
        assert len(lines(term)) == 1 and b"does not answer" in lines(term)[0]
        if then == "thaw":
            pulse.thaw()
            term.send("v")
            assert until(term, lambda: sounding(recording), BACK_WITHIN_S) is not None, \
                "no sound after the server answered"
        quit_quickly(term)
        assert len(lines(term)) == 1
    finally:
        term.close()
