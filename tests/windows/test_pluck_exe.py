"""pluck.exe and its sound output under Wine, end to end.

The program runs in a Wine desktop on a private X display, with keys held by
xdotool (tests/harness/wine.py), and plays to a private PulseAudio server whose
sink is recorded (tests/harness/pulse.py): Wine's winmm reaches it through
Wine's PulseAudio driver. Real time throughout, so the test allows for the
scheduling of a shared machine but not for lost, early or extra notes.
"""
import os
import re
import subprocess
import time

import pexpect
import pytest
from harness import sound
from harness.pulse import wait_until
from harness.wine import WINE_RUN, WineDesktop, prefix_of, windows_path

from conftest import BUILD
PLUCK = os.path.join(BUILD, "pluck", "pluck.exe")
AUDIO_TESTS = os.path.join(BUILD, "tests", "audio", "audio_output_winmm_tests.exe")
RENDER_EXE = os.path.join(BUILD, "pluck_render", "pluck-render.exe")
USAGE = "    Play : Z, X, C, V, B, N, M, K\nAutoPlay : Hold SpaceKey.\n"
RATE = 44100
HOLD_S = 0.08  # long enough for the program's polling to see every key


@pytest.fixture(scope="module")
def desktop():
    with WineDesktop(BUILD) as d:
        yield d


def wait_for_usage(program):
    wait_until(lambda: USAGE in program.stdout or program.process.poll() is not None, "no usage", 60)
    assert program.stdout == USAGE, "stderr: " + program.stderr


# As on Linux: the devices listed; keys heard (V at its pitch, Space's beats
# while it is held and none after), Escape quits; with a smaller ring, the
# recording is, bit for bit, what pluck-render.exe makes of one V from the
# pluck's frame on until Space; a device that is not there is named.
def test_keys_options_and_the_recording(pulse, desktop, tmp_path):
    listed = subprocess.run([WINE_RUN, prefix_of(BUILD), PLUCK, "--list-devices"], env=pulse.env,
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    assert listed.returncode == 0 and re.match(r"default +the wave mapper.*\n0 +\S", listed.stdout), listed
    take = tmp_path / "take.wav"
    recording = pulse.record()
    program = desktop.start(PLUCK, ["--latency=35", "--record", windows_path(take)], env=pulse.env)
    wait_for_usage(program)
    time.sleep(1.0)  # the device open and playing silence
    v_at = time.monotonic()
    desktop.hold("v", HOLD_S)
    time.sleep(1.5)
    space_at = time.monotonic() - v_at
    desktop.hold("space", 1.5)
    release_at = time.monotonic() - v_at
    time.sleep(1.2)
    desktop.hold("Escape", HOLD_S)
    assert program.wait(10) == 0 and program.stderr == "", program.stderr
    assert program.stdout == USAGE

    frames = recording.stop()
    left = sound.channel(frames, 0)
    start = sound.first_sound(frames)
    assert start is not None, "nothing was heard"
    # V at the initial key: a loop of 162 samples averaged over 5 sounds with
    # a period of 160 samples (275.6 Hz).
    assert sound.period(left, start + RATE // 20, RATE // 10, 150, 170) == 160

    (tmp_path / "v.score").write_text("0 v\n")
    subprocess.run([WINE_RUN, prefix_of(BUILD), RENDER_EXE, windows_path(tmp_path / "v.score"), "-o",
                    windows_path(tmp_path / "v.wav"), "--length", "4000"], check=True, timeout=60,
                   stdin=subprocess.DEVNULL, capture_output=True)
    recorded = sound.read_float_wav(str(take))[0]
    rendered = sound.read_float_wav(str(tmp_path / "v.wav"))[0]
    at = sound.first_sound(recorded)
    assert at is not None and at % 512 == 0
    # Every note after V's own is a beat while Space was held (from the
    # first tick, 7 ms after the press, to the last beat before the release);
    # there are several, and none long after the release. They are counted in
    # the take, which holds what was played whatever a busy machine did to
    # the sound on its way to the server, and from V; Wine's key response
    # varies by up to about 100 ms from one key to the next (more on a busy
    # machine): V seen late and Space early puts the first beat up to that
    # much before the press, and a release seen late lets a beat more through.
    beats = [(onset - at) / RATE for onset in sound.onsets(sound.channel(recorded, 0))][1:]
    assert len(beats) >= 3, beats
    assert all(space_at - 0.12 <= t <= release_at + 0.35 for t in beats), f"{space_at} {release_at} {beats}"
    # The first second after the pluck: Space came at least 1.3 s later.
    assert recorded[2 * at:][:2 * RATE] == rendered[2 * sound.first_sound(rendered):][:2 * RATE]

    program = desktop.start(PLUCK, ["--device", "NoSuchDevice"], env=pulse.env)
    wait_for_usage(program)
    wait_until(lambda: program.stderr.endswith("\n"), "the missing device was not named", 30)
    desktop.hold("Escape", HOLD_S)
    assert program.wait(10) == 0
    assert re.fullmatch(r'pluck: no sound: [^\n]+ \(device "NoSuchDevice"\)\n', program.stderr), program.stderr


# Ctrl-C comes through the console, which here is Wine's on a terminal: the
# loop quits as on Escape, with status 0, and the recording it was making
# takes its name complete (silent if Wine's console finds no sound server),
# no temporary file left beside it. Meanwhile it is take.wav.part, whose
# sizes are never a second behind what is written.
def test_ctrl_c_ends_with_status_zero_and_keeps_the_take(pulse, tmp_path):
    take = tmp_path / "take.wav"
    child = pexpect.spawn(WINE_RUN, [prefix_of(BUILD), PLUCK, "--record", windows_path(take)], env=pulse.env,
                          timeout=60)
    try:
        # Wine's console draws the text with cursor controls between letters.
        seen = b""
        while b"SpaceKey." not in re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", seen):
            seen += child.read_nonblocking(4096, timeout=60)
        time.sleep(1.5)
        part = tmp_path / "take.wav.part"
        counted, written = len(sound.read_float_wav(str(part))[0]) // 2, (os.path.getsize(part) - 58) // 8
        assert counted >= written - RATE, "the sizes are more than a second behind"
        child.sendcontrol("c")
        child.expect(pexpect.EOF, timeout=10)
        child.close()
        assert (child.exitstatus, child.signalstatus) == (0, None)
    finally:
        child.close(force=True)
    assert os.listdir(tmp_path) == ["take.wav"]
    sound.read_float_wav(str(take))  # a complete WAV file


def numbered_frames(frames):
    """The leading silence and the last number heard of frames numbered 1, 2,
    3, ... (n * 2^-22 left, its negative right), compared as bits. Where the
    device ran dry (a starved machine) the server inserts silence and drops
    what comes late, so numbers may skip after a silence, nowhere else."""
    left, right = sound.channel(frames, 0), sound.channel(frames, 1)
    first = next((i for i, x in enumerate(left) if x != 0.0), len(left))
    last, after_gap = 0, False
    for i in range(first, len(left)):
        number = left[i] * 2 ** 22
        after_gap = after_gap or (left[i] == 0.0 and right[i] == 0.0)
        if left[i] != 0.0 or right[i] != 0.0:
            assert right[i] == -left[i] and number == int(number) and (number == last + 1 or (after_gap and number > last)), (i, last)
            last, after_gap = int(number), False
    return first, last


def test_wave_output_plays_every_frame_in_order_and_drains(pulse):
    recording = pulse.record()
    run = subprocess.run([WINE_RUN, prefix_of(BUILD), AUDIO_TESTS, "--gtest_filter=Device.*"],
                         env=pulse.env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    rendered = int(re.search(r"rendered frames: (\d+)", run.stdout).group(1))
    frames = recording.stop()
    # The last test's frames, after the silence that every start queues
    # first, up to the last ones rendered before the stop: the six queued
    # buffers play out. The server may drop what it still holds when the
    # stream closes: on a loaded machine, up to 21 ms were seen to go.
    leading_silence, last = numbered_frames(frames)
    assert rendered - 2 * 512 < last <= rendered
    assert leading_silence >= 6 * 512
