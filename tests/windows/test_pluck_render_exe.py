"""pluck-render.exe under Wine, as a Windows user runs it: the Linux build's
samples to the bit, the same messages and exit statuses, an output that takes
its name only once complete, Ctrl-C, the progress line in a console, and the
release zip.

Wine runs each program in the build folder's own prefix (scripts/wine-run). A
Windows program started by Wine is the Linux process itself, so it can be
stopped and continued like one.
"""
import os
import re
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import zipfile
from pathlib import Path

import pexpect
import pytest
from harness.sound import fnv1a, read_float_wav
from harness.wine import WINE_RUN, prefix_of, windows_path

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("PLUCK_BUILD_DIR", os.path.join(ROOT, "build", "windows"))
LINUX_RENDER = os.path.join(os.environ.get("PLUCK_LINUX_BUILD_DIR", os.path.join(ROOT, "build", "release")),
                            "tools", "pluck-render")
RENDER = os.path.join(BUILD, "tools", "pluck-render.exe")
PIPE_TO = os.path.join(BUILD, "tests", "windows", "pipe_to.exe")
DEMO = os.path.join(ROOT, "examples", "demo.score")
# 64-bit FNV-1a over the demo score's samples, as the engine tests pin it
# (OfflineRender.DemoScoreGivesTheSameBitsOnEveryBuild).
DEMO_DIGEST = 0x42DE79AC448D4FBE
# A program ended by Ctrl-C exits with STATUS_CONTROL_C_EXIT; Wine hands
# its low byte to Linux.
CTRL_C_STATUS = 0xC000013A & 0xFF
EARLIER = b"earlier take"


def frames_at_ms(ms):
    return ms * 44100 // 1000


def wine(*args):
    return [WINE_RUN, prefix_of(BUILD), *map(str, args)]


def render(*args, cwd, stdin=subprocess.DEVNULL, input=None):
    return subprocess.run(wine(RENDER, *args), cwd=cwd, stdin=None if input is not None else stdin, input=input,
                          capture_output=True, timeout=120)


def temp_files(folder):
    return [name for name in os.listdir(folder) if name.startswith(".pluck-render-")]


def wait_for_temp_file(folder, running):
    deadline = time.monotonic() + 60
    while not temp_files(folder):
        assert running() and time.monotonic() < deadline, "the output file was never opened"
        time.sleep(0.01)


def console_text(output):
    """What Wine's console drew, without its cursor controls, which also
    stand for the spaces it skipped over."""
    return re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", output)


@pytest.fixture
def scratch():
    folder = Path(tempfile.mkdtemp(prefix="pluck-render-exe-", dir="/tmp"))
    yield folder
    shutil.rmtree(folder)


# ---------------------------------------------------------------- the sound

# Auto-play through three key changes (one every 32 beats of 119 ms), with
# keys plucked over it on odd milliseconds, and a tail.
AUTO_PLAY = b"0 space-down\n37 v\n1001 z\n5003 k\n5003 b\n12000 space-up\n12000 n\n"


def test_the_same_bytes_as_the_linux_build(scratch):
    """From a file or a pipe, the file is the Linux build's, byte for byte:
    the same header and the same samples, as bits."""
    (scratch / "auto.score").write_bytes(AUTO_PLAY)
    assert os.access(LINUX_RENDER, os.X_OK), "build the release preset first: " + LINUX_RENDER
    linux = subprocess.run([LINUX_RENDER, "auto.score", "-o", "linux.wav"], cwd=scratch, capture_output=True)
    from_file = render("auto.score", "-o", "file.wav", cwd=scratch)
    from_pipe = render("-", "-o", "pipe.wav", cwd=scratch, input=AUTO_PLAY)
    for result in (linux, from_file, from_pipe):
        assert (result.returncode, result.stderr) == (0, b"")
    expected = (scratch / "linux.wav").read_bytes()
    assert (scratch / "file.wav").read_bytes() == expected
    assert (scratch / "pipe.wav").read_bytes() == expected
    samples, _ = read_float_wav(scratch / "linux.wav")
    assert len(samples) == 2 * frames_at_ms(15000) and any(x != 0.0 for x in samples[-2000:])


def test_the_release_zip_renders_the_demo_score(scratch):
    """cpack makes the zip; its pluck-render.exe renders its example score,
    piped in through a Windows pipe, to the pinned bits, into a file whose
    name is not ASCII."""
    made = subprocess.run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", scratch],
                          capture_output=True, text=True, timeout=300)
    assert made.returncode == 0, made.stdout + made.stderr
    [archive] = scratch.glob("pluck-*-windows-x86_64.zip")
    top = archive.name[: -len(".zip")]
    with zipfile.ZipFile(archive) as z:
        files = [name for name in z.namelist() if not name.endswith("/")]
        assert sorted(files) == sorted(top + "/" + name for name in (
            "pluck.exe", "pluck-render.exe", "README.md", "examples/demo.score"))
        z.extractall(scratch)
    folder = scratch / top
    assert (folder / "examples" / "demo.score").read_bytes() == Path(DEMO).read_bytes()
    result = subprocess.run(wine(PIPE_TO, "examples\\demo.score", 'pluck-render.exe - -o "démo ♪.wav"'),
                            cwd=folder, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, b"")
    samples, _ = read_float_wav(folder / "démo ♪.wav")
    assert fnv1a(samples.tobytes()) == DEMO_DIGEST


# ---------------------------------------------------------------- messages and refusals


@pytest.mark.parametrize("args, stdin, status, says", [
    (["bad.score", "-o", "out.wav"], None, 2,
     'bad.score:2: unknown action "q": expected z x c v b n m k, space-down or space-up\n'),
    (["-", "-o", "out.wav"], b"0 v\r\n10 q\r\n", 2, '(standard input):2: unknown action "q"'),
    (["ñandú.score", "-o", "out.wav"], None, 2, 'ñandú.score:3: bad time "soon"'),
    (["s.score", "-o", "out.flac"], None, 2, "pluck-render: cannot write out.flac: this Windows build writes WAV "
     "files only (its FLAC encoder, libsndfile, is in the Linux build); write a .wav file instead "
     "(see pluck-render --help)\n"),
    (["s.score", "-o", "out.wav", "--length", "2147483647"], None, 2,
     "pluck-render: a render of 2147483647 ms is too long for a WAV file (see pluck-render --help)\n"),
    (["--help=x"], None, 2, "pluck-render: option --help takes no value (see pluck-render --help)\n"),
    (["s.score", "-o"], None, 2, "pluck-render: option -o needs a value (see pluck-render --help)\n"),
    (["s.score", "s.score", "-o", "out.wav"], None, 2, "pluck-render: more than one score given"),
    (["missing.score", "-o", "out.wav"], None, 1, "pluck-render: cannot read missing.score: "),
    (["s.score", "-o", "folder.wav"], None, 1, "pluck-render: cannot write folder.wav: Is a directory\n"),
    (["s.score", "-o", "NUL.wav"], None, 1, "pluck-render: cannot write NUL.wav: not a regular file\n"),
    (["same.wav", "-o", "twin.wav"], None, 1, "pluck-render: cannot write twin.wav: it is the score being read\n"),
])
def test_messages_and_statuses_are_linux_s_and_nothing_is_written(scratch, args, stdin, status, says):
    """One line on standard error, as on Linux; the output's earlier file
    untouched and no temporary file left. A message that names a file names
    it in UTF-8."""
    (scratch / "s.score").write_bytes(b"0 v\n")
    (scratch / "bad.score").write_bytes(b"0 v\n10 q\n")
    (scratch / "ñandú.score").write_bytes(b"# intro\n\nsoon v\n")
    (scratch / "folder.wav").mkdir()
    (scratch / "same.wav").write_bytes(b"0 v\n")
    os.link(scratch / "same.wav", scratch / "twin.wav")
    (scratch / "out.wav").write_bytes(EARLIER)
    before = sorted(os.listdir(scratch))
    result = render(*args, cwd=scratch, input=stdin)
    message = result.stderr.decode()
    assert (result.returncode, result.stdout) == (status, b""), message
    assert message.startswith(says) and message.endswith("\n") and message.count("\n") == 1, message
    assert sorted(os.listdir(scratch)) == before
    assert (scratch / "out.wav").read_bytes() == EARLIER


# ---------------------------------------------------------------- the output file


@pytest.mark.parametrize("ending, status", [(b"3000 space-up\n", 0), (b"3000 q\n", 2)], ids=["complete", "bad"])
def test_the_output_takes_its_name_only_when_complete(scratch, ending, status):
    """While the score is still coming through a pipe, the render writes a
    temporary file beside the target and the earlier file stays; a complete
    render replaces it, a failed one leaves it."""
    target = scratch / "take ♪.wav"
    target.write_bytes(EARLIER)
    process = subprocess.Popen(wine(RENDER, "-", "-o", target.name), cwd=scratch, stdin=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    try:
        process.stdin.write(b"0 space-down\n")
        process.stdin.flush()
        wait_for_temp_file(scratch, lambda: process.poll() is None)
        assert target.read_bytes() == EARLIER
        process.stdin.write(ending)
        process.stdin.close()
        assert process.wait(60) == status, process.stderr.read()
    finally:
        process.kill()
        process.wait()
        process.stderr.close()
    assert os.listdir(scratch) == [target.name]
    if status == 0:
        assert len(read_float_wav(target)[0]) == 2 * frames_at_ms(6000)
    else:
        assert target.read_bytes() == EARLIER


# ---------------------------------------------------------------- the console


@pytest.mark.parametrize("source", ["console", "pipe"])
def test_ctrl_c_stops_a_render_waiting_for_the_score(scratch, source):
    """The score typed into the console, or coming through a Windows pipe
    that stays open: Ctrl-C ends the wait for the next line, removes the
    temporary file and ends the program as Ctrl-C ends a console program."""
    (scratch / "c.wav").write_bytes(EARLIER)
    (scratch / "s.score").write_bytes(b"0 space-down\n")
    args = (RENDER, "-", "-o", "c.wav")
    if source == "pipe":
        args = (PIPE_TO, "--open", "s.score", "%s - -o c.wav" % windows_path(RENDER))
    command = " ".join(shlex.quote(arg) for arg in wine(*args))
    child = pexpect.spawn("/bin/bash", ["-c", command + "; echo status=$?"], cwd=str(scratch), timeout=60)
    try:
        wait_for_temp_file(scratch, child.isalive)
        if source == "console":
            child.send("0 space-down\r")
        time.sleep(1.0)
        child.sendcontrol("c")
        child.expect(pexpect.EOF)
    finally:
        child.close(force=True)
    text = console_text(child.before).replace(b" ", b"")
    assert b"pluck-render:stopped;c.wavnotwritten\r" in text, text
    assert text.endswith(b"status=%d\r\n" % CTRL_C_STATUS), text
    assert sorted(os.listdir(scratch)) == ["c.wav", "s.score"] and (scratch / "c.wav").read_bytes() == EARLIER


def test_the_progress_line_fits_the_console(scratch):
    """A render that runs over a second shows its progress on the console,
    in one column less than the console's width, and ends at 100 %."""
    (scratch / "long.score").write_bytes(b"0 space-down\n600000 space-up\n")
    child = pexpect.spawn(WINE_RUN, [prefix_of(BUILD), RENDER, "long.score", "-o", "long.wav"], cwd=str(scratch),
                          dimensions=(24, 40), timeout=60)
    try:
        # Stopped for a while, the render runs longer than a second on any machine.
        wait_for_temp_file(scratch, child.isalive)
        os.kill(child.pid, signal.SIGSTOP)
        time.sleep(1.5)
        os.kill(child.pid, signal.SIGCONT)
        child.expect(pexpect.EOF)
        child.close()
        assert child.exitstatus == 0
    finally:
        child.close(force=True)
    last = console_text(child.before).split(b"\r")[-3]
    assert last == b"[################] 100%  10:03 of 10:03" and len(last) == 40 - 1
