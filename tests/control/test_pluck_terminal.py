"""pluck run as careless or hostile users run it, in a real pseudo-terminal
(or none) and playing to a private PulseAudio server: closed descriptors,
piped keys, dumb terminals, fast taps on a kitty-protocol terminal, stops
and continues. Each ends with exit status 0 and the terminal as it was."""
import os
import signal
import subprocess
import time

import pytest

from conftest import program
from harness import sound
from harness.terminal import KITTY_ESCAPE, SESSION_READY, USAGE, Terminal

PLUCK = program("pluck")
KITTY_TERM = "xterm-kitty"


def kitty_env(pulse, **extra):
    return dict(pulse.env, TERM=KITTY_TERM, **extra)


def wait_until(t, condition, limit_s=10):
    end = time.monotonic() + limit_s
    while not condition():
        assert time.monotonic() < end, "waited in vain; wrote %r" % t.output[-300:]
        t.pump(0.01)


def proc_target(pid, fd):
    try:
        return os.readlink("/proc/%d/fd/%d" % (pid, fd))
    except FileNotFoundError:
        return "closed"


# Closed standard descriptors. The program's output goes into a pipe that is
# already full, so it stops at its usage text with its audio thread started:
# what its descriptors 0-2 are then is what the key reader would read.
@pytest.mark.parametrize("closed", [(0,), (0, 2)])
def test_closed_standard_descriptors_are_dev_null(pulse, closed):
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    try:
        while True:
            os.write(write_end, b"." * 65536)
    except BlockingIOError:
        pass
    os.set_blocking(write_end, True)
    child = subprocess.Popen([PLUCK], stdout=write_end, stderr=subprocess.PIPE, env=pulse.env,
                             preexec_fn=lambda: [os.closerange(fd, fd + 1) for fd in closed])
    os.close(write_end)
    try:
        time.sleep(0.5)
        for fd in closed:
            assert proc_target(child.pid, fd) == "/dev/null", "descriptor %d" % fd
        started = time.monotonic()
        with os.fdopen(read_end, "rb") as out:
            written = out.read()
        assert child.wait(5) == 0
        assert time.monotonic() - started < 2, "empty input should end the program at once"
        assert written.endswith(USAGE.replace(b"\r\n", b"\n"))
        assert child.stderr.read() == b"", "a closed descriptor disturbed the sound"
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


# `printf zxcv | pluck`: the chord rings out for as long as a score's last
# event does, then the program ends by itself; a quit signal cuts it short.
@pytest.mark.parametrize("interrupt", [None, signal.SIGTERM])
def test_piped_keys_ring_out_before_the_end(pulse, interrupt):
    recording = pulse.record()
    child = subprocess.Popen([PLUCK], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=pulse.env)
    started = time.monotonic()
    child.stdin.write(b"zxcv")
    child.stdin.close()
    child.stdin = None
    if interrupt is not None:
        time.sleep(1.0)
        child.send_signal(interrupt)
    out, err = child.communicate(timeout=10)
    took = time.monotonic() - started
    frames = recording.stop()
    assert child.returncode == 0, err
    assert err == b""
    left = sound.channel(frames, 0)
    first = sound.first_sound(frames)
    assert first is not None, "nothing sounded"
    last = max(i for i in range(first, len(left)) if left[i] != 0.0)
    rang = (last - first) / 44100
    if interrupt is None:
        assert 2.9 < rang < 3.5 and took < 4.5, "rang %.2f s, ended after %.2f s" % (rang, took)
    else:
        assert rang < 1.6 and took < 1.6, "rang %.2f s, ended %.2f s after the signal" % (rang, took)


# A dumb terminal (or none named) gets no control sequence at all, and the
# program does not wait for answers that will never come.
@pytest.mark.parametrize("term", ["dumb", None])
def test_dumb_terminal_gets_no_queries_and_no_wait(pulse, term):
    env = {k: v for k, v in pulse.env.items() if k != "TERM"}
    if term is not None:
        env["TERM"] = term
    t = Terminal([PLUCK], env=env, answer=False)
    try:
        t.wait_for(USAGE)
        typed = time.monotonic()
        t.send("v")
        t.pump(0.1)
        t.send(b"\x1b")
        assert t.exit_status() == 0
        assert time.monotonic() - typed < 0.6, "Escape waited for a terminal answer"
        assert t.settings_restored()
        assert b"\x1b" not in t.output, "control sequences sent to a dumb terminal"
    finally:
        t.close()


# A kitty-protocol terminal reports the release of the key that quit; with
# a fast tap it comes right behind the press. It must be read before the
# protocol is switched off, or the restored terminal echoes it and the shell
# gets it as text.
@pytest.mark.parametrize("press, release", [
    (KITTY_ESCAPE, b"\x1b[27;1:3u"),
    (b"\x1b[57442;5u\x1b[99;5u", b"\x1b[99;5:3u\x1b[57442;1:3u"),  # Ctrl-C: Control, then C
])
def test_fast_tap_release_never_reaches_the_shell(pulse, press, release):
    t = Terminal([PLUCK], env=kitty_env(pulse), kitty=True)
    try:
        t.wait_for(SESSION_READY)
        t.send(press)
        time.sleep(0.02)
        t.send(release)
        assert t.exit_status() == 0
        assert t.settings_restored()
        assert b"1:3u" not in t.output, "a release was left to the shell: %r" % t.output[-80:]
        assert t.keyboard_stack() == 0
    finally:
        t.close()


# Ctrl-Z in an interactive shell, then `fg`: the protocol goes with the stop
# (the shell gets plain keys, not the Ctrl-Z's release) and comes back.
def test_protocol_is_back_after_ctrl_z_and_fg(pulse):
    shell = Terminal(["/bin/bash", "--norc", "--noprofile", "-i"], env=kitty_env(pulse, PS1="$ "), kitty=True)
    try:
        shell.wait_for(b"$ ")
        shell.send(PLUCK + "\r")
        shell.wait_for(SESSION_READY)
        shell.send(b"\x1b[122;5u")
        time.sleep(0.02)
        shell.send(b"\x1b[122;5:3u")
        shell.wait_for(b"Stopped")
        assert shell.keyboard_stack() == 0, "stopped with the protocol on"
        stopped_at = len(shell.output)
        shell.send("fg\r")
        wait_until(shell, lambda: shell.output.count(SESSION_READY) == 2)
        assert shell.keyboard_stack() == 1, "the protocol was not pushed again"
        prompts = shell.output.count(b"$ ")
        shell.send(KITTY_ESCAPE + b"\x1b[27;1:3u")
        wait_until(shell, lambda: shell.output.count(b"$ ") > prompts)
        shell.send("echo status=$?\r")
        shell.wait_for(b"status=0")
        assert b"command not found" not in shell.output[stopped_at:]
        assert shell.keyboard_stack() == 0
        shell.send("exit\r")
        assert shell.exit_status() == 0
        assert shell.settings_restored()
    finally:
        shell.close()


# SIGSTOP then SIGCONT, which the program cannot see coming: meanwhile the
# terminal may have been reset, or not. Either way the protocol is in force
# again, once, and gone at the end.
@pytest.mark.parametrize("reset_meanwhile", [False, True])
def test_protocol_is_back_after_sigstop_and_sigcont(pulse, reset_meanwhile):
    t = Terminal([PLUCK], env=kitty_env(pulse), kitty=True)
    try:
        t.wait_for(SESSION_READY)
        t.signal(signal.SIGSTOP)
        t.pump(0.2)
        emptied = [len(t.output)] if reset_meanwhile else []
        t.signal(signal.SIGCONT)
        t.pump(0.3)
        assert t.keyboard_stack(emptied) == 1
        t.send(KITTY_ESCAPE + b"\x1b[27;1:3u")
        assert t.exit_status() == 0
        assert t.settings_restored()
        assert t.keyboard_stack(emptied) == 0
    finally:
        t.close()
