"""pluck end to end: in a real pseudo-terminal (tests/harness/terminal.py), or
fed by a pipe, playing to a private sound server whose sink is recorded
(tests/harness/pulse.py): PulseAudio, and PipeWire by both of ALSA's routes. What the player hears, what --record keeps, the
keys as keyboards send them, and the terminal left as it was found however
the program ends."""
import contextlib
import ctypes
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest

from conftest import BUILD, program
from harness import sound
from harness.pulse import wait_until
from harness.terminal import KITTY_CTRL_C, KITTY_ESCAPE, KITTY_SPACE, SESSION_READY, USAGE, Terminal

PLUCK = program("pluck")
RATE = 44100
KITTY_V = (b"\x1b[118u", b"\x1b[118;1:2u", b"\x1b[118;1:3u")


def sounding_part(frames):
    """From the first sound to the last, interleaved."""
    frames = frames[2 * sound.first_sound(frames):]
    while frames and frames[-1] == 0.0:
        frames.pop()
    return frames


@contextlib.contextmanager
def running(argv, env, ready=SESSION_READY, **terminal):
    """pluck (or a shell) in a real terminal once it shows `ready`, closed however the test ends."""
    t = Terminal(argv, env=env, **terminal)
    try:
        t.wait_for(ready)
        yield t
    finally:
        t.close()


@contextlib.contextmanager
def in_a_shell(command, env, **terminal):
    """An interactive shell that has started `command`, once its session is ready."""
    with running(["/bin/bash", "--norc", "--noprofile", "-i"], dict(env, PS1="$ "), b"$ ", **terminal) as shell:
        shell.send(command + "\r")
        shell.wait_for(SESSION_READY)
        yield shell


def sink_inputs(pulse):
    return subprocess.run(["pactl", "list", "sink-inputs"], env=pulse.env, capture_output=True, text=True).stdout


def sound_heard(recording):
    """Seconds of sound the server has played: frames not exactly silent,
    every one of them also in the program's recording."""
    return sum(1 for x in recording.frames()[0::2] if x != 0.0) / RATE


# V typed while pluck still waits for the terminal's answer, then pluck
# ended one way or another. The ring the server sees is the one asked for;
# the server hears V at its pitch (string 3 at note 109: a 162-sample loop
# the five-point average shortens to 160 samples) and all of the recording,
# which is what pluck-render makes of one V from the pluck's frame on, the
# pluck landing at the start of a buffer.
@pytest.mark.parametrize("args, ending, period, periods", [
    ([], b"\x1b", 512, 6),
    (["--latency=10"], KITTY_CTRL_C, 128, 3),
    (["--latency", "17", "--device", "{device}"], signal.SIGTERM, 256, 3),
    (["-l35"], b"\x03", 512, 3),
])
def test_v_is_heard_recorded_and_rendered_alike(pulse, tmp_path, args, ending, period, periods):
    path = tmp_path / "take.wav"
    args = [a.format(device=pulse.device) for a in args]  # the server's own ALSA device
    heard = pulse.record()
    kitty = ending == KITTY_CTRL_C
    with running([PLUCK, "--record", str(path)] + args, dict(pulse.env, TERM="xterm-kitty" if kitty else "xterm"),
                 kitty=kitty, typed_first=b"v") as t:
        # The stream connects beside the session (later under an emulator).
        t.wait_for(lambda: "Sink Input #" in sink_inputs(pulse))
        t.pump(0.3)
        out = sink_inputs(pulse)
        if pulse.name == "pipewire":  # which runs the stream a period at a time (pipewire-pulse: 236 at least)
            [quantum] = [int(x) for x in re.findall(r'node.latency = "(\d+)/44100"', out)]
            assert quantum == period or (pulse.device == "pulse" and quantum == 236), out
        else:
            [latency_us] = [int(x) for x in re.findall(r"Buffer Latency: (\d+) usec", out)]
            assert (periods - 2.1) * period * 1e6 / RATE <= latency_us <= periods * period * 1e6 / RATE
        # The default ring plays at the ordinary priority; a smaller one asks
        # for real time, which root is granted.
        task = "/proc/%d/task/" % t.child.pid
        [audio] = [int(x) for x in os.listdir(task) if open(task + x + "/comm").read() == "pluck audio\n"]
        if period == 512 or os.geteuid() == 0:
            assert os.sched_getscheduler(audio) == (os.SCHED_OTHER if period == 512 else os.SCHED_FIFO)
        # A second of V reaches the server, however slowly the program runs.
        t.wait_for(lambda: sound_heard(heard) >= 1.0)
        t.child.kill(ending) if isinstance(ending, int) else t.send(ending)
        assert t.exit_status() == 0 and t.settings_restored()
    assert t.visible() == USAGE
    recorded = sound.read_float_wav(str(path))[0]
    assert sound.first_sound(recorded) % period == 0
    after = sounding_part(recorded)
    (tmp_path / "v.score").write_text("0 v\n")
    subprocess.run([program("pluck-render"), tmp_path / "v.score", "-o", tmp_path / "v.wav", "--length", "4000"])
    rendered = sounding_part(sound.read_float_wav(str(tmp_path / "v.wav"))[0])
    assert len(after) > 0.9 * RATE * 2 and after == rendered[:len(after)]
    server = sounding_part(heard.stop())
    # Exactly, but for what a small ring on a busy machine loses to underruns.
    assert server == after or periods < 6, "the server did not play all that was recorded"
    assert sound.period(sound.channel(server, 0), RATE // 20, RATE // 10, 150, 170) == 160


# A key held down as each kind of terminal reports it: a note plucks once,
# Space plays the auto-play's beats until it is let go. Counted in what pluck
# played (its take), which a busy server's underruns do not break up.
@pytest.mark.parametrize("kitty, key, notes", [
    (True, KITTY_V, 1), (False, (b"v", b"v", b""), 1),
    (True, KITTY_SPACE, 3), (False, (b" ", b" ", b""), 3),
])
def test_held_key(pulse, tmp_path, kitty, key, notes):
    take = str(tmp_path / "take.wav")
    with running([PLUCK, "-r", take], dict(pulse.env, TERM="xterm-kitty" if kitty else "xterm"), kitty=kitty) as t:
        assert (b"\x1b[>11u" in t.output) == kitty, "keyboard protocol pushed on the wrong terminal"
        started = time.monotonic()
        t.hold(*key, seconds=1.5)
        held = time.monotonic() - started
        t.pump(1.0)
        t.send(KITTY_ESCAPE if kitty else b"\x1b")
        assert t.exit_status() == 0 and t.settings_restored() and t.keyboard_stack() == 0
    found = sound.onsets([0.0] * 4410 + sound.channel(sound.read_float_wav(take)[0], 0).tolist())
    assert len(found) == notes if notes == 1 else len(found) >= notes, found
    assert (found[-1] - found[0]) / RATE < held + 0.25, "a beat after Space was let go"


# Quitting leaves the terminal as found. A kitty-protocol terminal reports
# the release of the key that quit right behind a fast tap: it is read
# before the protocol goes, or the shell would get it as text. A dumb
# terminal (or one not named) gets no control sequence and no wait for answers.
@pytest.mark.parametrize("term, press, release", [
    ("xterm-kitty", KITTY_ESCAPE, b"\x1b[27;1:3u"),
    ("xterm-kitty", b"\x1b[57442;5u\x1b[99;5u", b"\x1b[99;5:3u\x1b[57442;1:3u"),  # Control, then C
    ("dumb", b"\x1b", b""),
    ("", b"\x1b", b""),
])
def test_quit_leaves_the_terminal_as_found(pulse, term, press, release):
    ready = SESSION_READY if term == "xterm-kitty" else USAGE
    with running([PLUCK], dict(pulse.env, TERM=term), ready, kitty=True) as t:
        t.pump(0.2)
        typed = time.monotonic()
        t.send(press)
        time.sleep(0.02)
        t.send(release)
        assert t.exit_status() == 0 and t.settings_restored()
    assert b"1:3u" not in t.output and t.keyboard_stack() == 0
    assert term == "xterm-kitty" or (b"\x1b" not in t.output and time.monotonic() - typed < 0.6)


# Stopped without warning and continued, the terminal reset meanwhile: the
# protocol is in force again, once. Then keys typed while it is stopped and a
# signal that ends it at once: the terminal is restored in the handler, and
# the unread keys go with it instead of to the shell.
def test_stop_continue_and_a_signal_that_ends_it(pulse):
    with running([PLUCK], dict(pulse.env, TERM="xterm-kitty"), kitty=True) as t:
        t.child.kill(signal.SIGSTOP)
        t.pump(0.2)
        emptied = len(t.output)
        t.child.kill(signal.SIGCONT)
        t.pump(0.3)
        assert t.keyboard_stack(emptied) == 1
        slave = os.open(t.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        t.child.kill(signal.SIGSTOP)
        t.pump(0.2)
        t.send(b"echo typed\r")
        time.sleep(0.2)
        ctypes.CDLL(None).tgkill(t.child.pid, t.child.pid, signal.SIGUSR1)  # to the thread that reads the keys
        t.child.kill(signal.SIGCONT)
        while t.child.isalive():
            t.pump(0.01)
        with pytest.raises(BlockingIOError):
            print("left for the shell:", os.read(slave, 100))
        os.close(slave)
        assert t.exit_status() == -signal.SIGUSR1 and t.settings_restored() and t.keyboard_stack(emptied) == 0


# Each signal that ends a process by default, sent to `pluck --record` on a
# kitty-protocol terminal with no sound server: the terminal is left as found
# (settings, protocol stack, paste and focus reporting). A quit signal ends
# pluck by itself, the take complete under its name; the others end it by the
# signal, after the cleanup, the take left on the disk as take.wav.part, a
# valid WAV file; PIPE and XFSZ are ignored.
@pytest.mark.parametrize("number, status", [(signal.Signals[name], status) for names, status in [
    ("HUP INT TERM", 0), ("PIPE XFSZ", None),
    ("QUIT USR1 USR2 ALRM STKFLT XCPU VTALRM PROF IO PWR ILL TRAP ABRT BUS FPE SEGV SYS", "signal")]
    for name in ("SIG" + n for n in names.split())], ids=lambda p: p.name if isinstance(p, signal.Signals) else None)
def test_every_ending_signal_leaves_the_terminal_and_the_take(tmp_path, number, status):
    env = dict(os.environ, TERM="xterm-kitty", PULSE_SERVER="unix:/nonexistent")
    # No core file in the test's folder.
    with running(["/bin/sh", "-c", 'ulimit -c 0 && exec "$0" "$@"', PLUCK, "--record", str(tmp_path / "take.wav")],
                 env, kitty=True) as t:
        t.child.kill(number)
        if status is None:
            t.pump(0.3)
            assert t.child.isalive(), "an ignored signal ended pluck"
            t.send(KITTY_ESCAPE)
        assert t.exit_status() == (-number if status else 0) and t.settings_restored()
    # Paste and focus reporting off after they were last on.
    assert all(t.output.rfind(b"\x1b[?%dl" % m) > t.output.rfind(b"\x1b[?%dh" % m) for m in (1004, 2004))
    assert t.keyboard_stack() == 0
    assert sorted(os.listdir(tmp_path)) == ["take.wav.part" if status == "signal" else "take.wav"]
    sound.read_float_wav(str(tmp_path / os.listdir(tmp_path)[0]))


# However pluck, run by an interactive shell, is asked to end, it ends once
# and keeps the take whole: V and Escape in one read (V sounds before the
# quit, even while the sound server has not yet answered); TERM and HUP together; Ctrl-Z, then `kill %1` and a
# SIGCONT (which some shells' `kill` sends itself), after which it never asks
# for the terminal from the background; the terminal window closed (a
# hang-up from the shell and another from the system).
@pytest.mark.parametrize("ending", ["v-escape", "two-signals", "kill", "hang-up"])
def test_every_ending_keeps_the_take(tmp_path, ending):
    path = tmp_path / "take.wav"
    server = socket.socket(socket.AF_UNIX)  # one that takes connections and never answers
    server.bind(str(tmp_path / "server"))
    server.listen()
    env = dict(os.environ, TERM="xterm",
               PULSE_SERVER="unix:" + (str(tmp_path / "server") if ending == "v-escape" else "/nonexistent"))
    with server, in_a_shell("%s --record %s" % (PLUCK, path), env) as shell:
        pluck = int(open("/proc/%d/task/%d/children" % ((shell.child.pid,) * 2)).read())
        shell.send(b"v\x1b" if ending == "v-escape" else b"v")
        shell.pump(0.3)
        if ending == "two-signals":  # at once: without a sound device pluck ends within milliseconds
            os.kill(pluck, signal.SIGTERM)
            os.kill(pluck, signal.SIGHUP)
        elif ending == "kill":
            shell.send(b"\x1a")
            shell.wait_for(b"Stopped")
            shell.send("kill %1; kill -CONT %1; wait %1\r")
        elif ending == "hang-up":
            shell.child.ptyproc.fileobj.close()  # the window closed: the terminal hangs up
        wait_until(lambda: not os.path.exists("/proc/%d" % pluck), "pluck did not end", 6)
        if ending != "hang-up":
            shell.send("echo status=$?.\r")
            shell.wait_for(lambda: re.search(rb"status=\d+\.", shell.output))
            assert b"status=0." in shell.output and b"tty output" not in shell.output, shell.output
    take = path.read_bytes()
    assert struct.unpack_from("<I", take, 4)[0] == len(take) - 8, "the take was not finished"
    assert sound.first_sound(sound.read_float_wav(str(path))[0]) is not None, "V is not in the take"


# Ctrl-Z in an interactive shell, then `fg`: the protocol goes with the stop
# (the shell gets plain keys, not the Ctrl-Z's release) and comes back.
def test_protocol_is_back_after_ctrl_z_and_fg(pulse):
    with in_a_shell(PLUCK, dict(pulse.env, TERM="xterm-kitty"), kitty=True) as shell:
        shell.send(b"\x1b[122;5u")
        time.sleep(0.02)
        shell.send(b"\x1b[122;5:3u")
        shell.wait_for(b"Stopped")
        assert shell.keyboard_stack() == 0, "stopped with the protocol on"
        stopped_at = len(shell.output)
        shell.send("fg\r")
        shell.wait_for(SESSION_READY, count=2)
        assert shell.keyboard_stack() == 1, "the protocol was not pushed again"
        resumed_at = len(shell.output)
        shell.send(KITTY_ESCAPE + b"\x1b[27;1:3u")
        shell.wait_for(lambda: b"$ " in shell.output[resumed_at:])  # the shell's prompt: pluck has ended
        shell.send("echo status=$?\r")
        shell.wait_for(b"status=0")
        assert b"command not found" not in shell.output[stopped_at:] and shell.keyboard_stack() == 0
        shell.send("exit\r")
        assert shell.exit_status() == 0 and shell.settings_restored()


# `printf zxcv | pluck`: the chord rings out for as long as a score's last
# event does, counted from its sound (which starts when the device first
# takes some, or without a server when the time kept says), then the program
# ends by itself and the server has heard it all; a quit signal cuts it
# short. A closed standard input reads as empty: nothing to play.
@pytest.mark.parametrize("keys, trouble, rings", [(b"zxcv", None, (2.98, 3.3)), (b"zxcv", "no server", (2.98, 3.3)),
                                                  (b"zxcv", signal.SIGTERM, (0, 1.6)), (None, None, None)])
def test_keys_from_a_pipe_ring_out(pulse, tmp_path, keys, trouble, rings):
    heard = pulse.kill() if trouble == "no server" else pulse.record()
    started = time.monotonic()
    child = subprocess.Popen([PLUCK, "-r", str(tmp_path / "take.wav")], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=pulse.env, preexec_fn=None if keys else lambda: os.close(0))
    if trouble == signal.SIGTERM:
        threading.Timer(1.0, child.send_signal, [trouble]).start()
    out, err = child.communicate(keys or b"", timeout=10)
    took = time.monotonic() - started
    assert (child.returncode, out) == (0, USAGE.replace(b"\r", b"")) and (rings or took < 1)
    assert err.startswith(b"pluck: no sound: ") if trouble == "no server" else err == b"", err
    if rings:
        rang = len(sounding_part(sound.read_float_wav(str(tmp_path / "take.wav"))[0])) / 2 / RATE
        assert rings[0] < rang < rings[1] and took < rings[1] + 1, "rang %.3f s, ended after %.3f s" % (rang, took)
        assert trouble or len(sounding_part(heard.stop())) / 2 / RATE > rang - 0.1, "the server did not hear it all"


@pytest.mark.parametrize("args, status, out, err", [
    (["--version"], 0, r"pluck [0-9.]+\n$", ""),
    (["--help"], 0, r"usage: pluck \[--latency MS\].*17  3 x 256 frames, 17\.4 ms\n.*Exit status", ""),
    (["--colour"], 2, "", "pluck: unknown option --colour (see pluck --help)\n"),
    (["-r", "/nonexistent/x.wav"], 1, "", "pluck: cannot write /nonexistent/x.wav: "),
    (["--list-devices"], 0, r"default +the system's default sound output\n(.*\n)*{device}", ""),
])
def test_command_line(pulse, args, status, out, err):
    out = out.replace("{device}", {"pulse": "pulse +PulseAudio", "pipewire": "pipewire +PipeWire"}[pulse.device])
    run = subprocess.run([PLUCK] + args, env=pulse.env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                         timeout=10)
    assert run.returncode == status, run.stderr
    assert re.match(out, run.stdout, re.S) if out else run.stdout == ""
    assert run.stderr.startswith(err) and run.stderr.count("\n") == (1 if err else 0), run.stderr
