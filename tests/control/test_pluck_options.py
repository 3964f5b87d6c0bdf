"""pluck's options end to end, in a real pseudo-terminal playing to a private
PulseAudio server: the command line's answers and errors, the ring a latency
asks for as the server sees it, another device, and recordings that hold,
bit for bit, what pluck-render makes of the same key and what reached the
server, however pluck is ended."""
import os
import re
import signal
import subprocess
import time

import pytest

from conftest import ROOT, program
from harness import sound
from harness.terminal import KITTY_CTRL_C, SESSION_READY, USAGE, Terminal

PLUCK = program("pluck")
RENDER = program("pluck-render")
RATE = 44100


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(pluck VERSION ([0-9.]+)", f.read()).group(1)


@pytest.mark.parametrize("args, status, out, err", [
    (["--version"], 0, "pluck %s\n" % project_version(), ""),
    (["--help"], 0, r"usage: pluck \[--latency MS\].*17  3 x 256 frames, 17\.4 ms\n.*Exit status", ""),
    (["-l", "0"], 2, "", 'pluck: bad --latency "0": expected whole milliseconds, 1 to 743 (see pluck --help)\n'),
    (["--colour"], 2, "", "pluck: unknown option --colour (see pluck --help)\n"),
    (["--record"], 2, "", "pluck: option --record needs a value (see pluck --help)\n"),
    (["-r", "/nonexistent/x.wav"], 1, "", "pluck: cannot write /nonexistent/x.wav: "),
    (["--list-devices"], 0, r"default +the system's default sound output\n(.*\n)*pulse +PulseAudio", ""),
])
def test_command_line(pulse, args, status, out, err):
    run = subprocess.run([PLUCK] + args, env=pulse.env, stdin=subprocess.DEVNULL, capture_output=True,
                         text=True, timeout=10)
    assert run.returncode == status, run.stderr
    assert re.match(out, run.stdout, re.S) if out else run.stdout == ""
    assert run.stderr.startswith(err) and run.stderr.count("\n") == (1 if err else 0), run.stderr


def buffer_latency_us(pulse):
    out = subprocess.run(["pactl", "list", "sink-inputs"], env=pulse.env, capture_output=True,
                         text=True).stdout
    return [int(x) for x in re.findall(r"Buffer Latency: (\d+) usec", out)]


def audio_thread_scheduling(pid):
    for tid in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
            if f.read().strip() == "pluck audio":
                return os.sched_getscheduler(int(tid)), os.getpriority(os.PRIO_PROCESS, int(tid))
    raise AssertionError("no audio thread")


def render_one_v(tmp_path):
    score = tmp_path / "v.score"
    score.write_text("0 v\n")
    out = tmp_path / "v.wav"
    subprocess.run([RENDER, str(score), "-o", str(out), "--length", "4000"], check=True)
    return sound.read_float_wav(str(out))[0]


def end_pluck(t, ending):
    if ending == "escape":
        t.send(b"\x1b")
    elif ending == "ctrl-c":
        t.send(KITTY_CTRL_C)
    else:
        t.signal(ending)


# V pressed once, then pluck ended one way or another. The ring seen by the
# server is the one asked for; the recording is complete, is exactly what
# pluck-render makes of a score holding one V from the pluck's frame on (the
# pluck landing at the start of a buffer), and exactly what reached the
# server from that frame on.
@pytest.mark.parametrize("args, ending, period, periods", [
    ([], "escape", 512, 6),
    (["--latency=10"], "ctrl-c", 128, 3),
    (["--latency", "17", "--device", "pulse"], signal.SIGTERM, 256, 3),
    (["-l35"], signal.SIGHUP, 512, 3),
])
def test_recording_is_the_render_and_the_sound(pulse, tmp_path, args, ending, period, periods):
    path = tmp_path / "take.wav"
    heard = pulse.record()
    kitty = ending == "ctrl-c"
    env = dict(pulse.env, TERM="xterm-kitty" if kitty else "xterm")
    t = Terminal([PLUCK, "--record", str(path)] + args, env=env, kitty=kitty)
    try:
        t.wait_for(SESSION_READY)
        t.pump(0.3)
        ring_us = period * periods * 1e6 / RATE
        latencies = buffer_latency_us(pulse)
        assert len(latencies) == 1 and ring_us - 2.1 * period * 1e6 / RATE <= latencies[0] <= ring_us, latencies
        assert not path.exists(), "the recording took its name before it was complete"
        # The default ring plays at the system's ordinary priority; a smaller
        # one asks for real time, which root is granted.
        policy, nice = audio_thread_scheduling(t.child.pid)
        if period == 512:
            assert (policy, nice) == (os.SCHED_OTHER, 0)
        elif os.geteuid() == 0:
            assert policy == os.SCHED_FIFO
        t.send("v")
        t.pump(1.0)
        end_pluck(t, ending)
        assert t.exit_status() == 0
        assert t.settings_restored()
    finally:
        t.close()
    assert t.visible().startswith(USAGE) and b"pluck:" not in t.output
    frames = heard.stop()
    recorded = sound.read_float_wav(str(path))[0]
    rendered = render_one_v(tmp_path)

    pluck_at = sound.first_sound(recorded)
    assert pluck_at is not None and pluck_at % period == 0
    after = recorded[2 * pluck_at:]
    assert len(after) > 0.9 * RATE * 2, "less than the second played after V was kept"
    assert after == rendered[2 * sound.first_sound(rendered):][:len(after)]
    # Everything the server heard after V (up to the silence after the
    # stream closed) is in the recording.
    server_after = frames[2 * sound.first_sound(frames):]
    while server_after and server_after[-1] == 0.0:
        server_after.pop()
    assert len(server_after) > 0.9 * RATE * 2 and server_after == after[:len(server_after)]
    assert set(os.listdir(tmp_path)) == {"take.wav", "v.score", "v.wav"}, "a temporary file was left"


# Keys from a pipe: the recording ends with the notes' ring-out.
def test_recording_of_piped_keys(pulse, tmp_path):
    path = tmp_path / "piped.wav"
    run = subprocess.run([PLUCK, "-r", str(path), "--latency", "17"], input=b"v", env=pulse.env,
                         capture_output=True, timeout=10)
    assert run.returncode == 0 and run.stderr == b""
    recorded = sound.read_float_wav(str(path))[0]
    pluck_at = sound.first_sound(recorded)
    rendered = render_one_v(tmp_path)
    after = recorded[2 * pluck_at:]
    assert 2.9 * RATE * 2 < len(after) and after == rendered[2 * sound.first_sound(rendered):][:len(after)]


# A device that cannot be opened is named in the one line said; the
# recording goes on meanwhile with the instrument's time.
def test_a_missing_device_is_named_and_the_recording_keeps_time(pulse, tmp_path):
    path = tmp_path / "silent.wav"
    t = Terminal([PLUCK, "--device", "hw:97,0", "--record", str(path)], env=pulse.env)
    try:
        t.wait_for(SESSION_READY)
        t.wait_for(b"pluck: no sound: ", limit_s=5)
        started = time.monotonic()
        t.send("v")
        t.pump(1.0)
        t.send(b"\x1b")
        assert t.exit_status() == 0
        took = time.monotonic() - started
    finally:
        t.close()
    said = t.visible().replace(USAGE, b"")
    assert said.count(b"pluck:") == 1 and b'"hw:97,0"' in said, said
    recorded = sound.read_float_wav(str(path))[0]
    pluck_at = sound.first_sound(recorded)
    assert pluck_at is not None
    # Rendered at the pace of a device, about as long as pluck ran.
    assert 0.8 * took < (len(recorded) / 2 - pluck_at) / RATE < took + 0.2
