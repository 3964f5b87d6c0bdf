"""pluck-render run as a user runs it: the files it writes (and does not
leave behind), its messages and exit statuses, signals, and its progress line
in a real pseudo-terminal."""
import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

from conftest import BUILD, ROOT, program
from harness.sound import fnv1a, read_float_wav, read_sound_file
from harness.terminal import Terminal

RENDER = program("pluck-render")
DEMO = os.path.join(ROOT, "examples", "demo.score")
# 64-bit FNV-1a over the demo score's samples, as the engine tests pin it
# (OfflineRender.DemoScoreGivesTheSameBitsOnEveryBuild).
DEMO_DIGEST = 0x42DE79AC448D4FBE
NO_TMPFILE = os.path.join(BUILD, "tests", "tools", "libno_tmpfile.so")
NOBODY = 65534
SANITIZED = any(name in os.path.basename(BUILD) for name in ("asan", "tsan"))


def frames_at_ms(ms):
    return ms * 44100 // 1000


def environment(named_temp=False):
    """The program's environment; with named_temp, on a file system as it is
    without O_TMPFILE."""
    env = dict(os.environ)
    if named_temp:
        env.update(LD_PRELOAD=NO_TMPFILE, ASAN_OPTIONS="verify_asan_link_order=0")
    return env


def render(*args, **kwargs):
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    kwargs.setdefault("timeout", 60)
    return subprocess.run([RENDER, *map(str, args)], capture_output=True, **kwargs)


def valid_wav_frames(path):
    samples, info = read_float_wav(path)
    assert info == {"channels": 2, "rate": 44100}
    return len(samples) // 2


def sox_reads_without_a_word(path):
    """sox reads the whole file with no warning about it (only about the
    samples beyond 1, which its integer samples cannot hold)."""
    sox = subprocess.run(["sox", path, "-n", "stat"], capture_output=True)
    warnings = [line for line in sox.stderr.splitlines() if b"WARN" in line and b"input clipped" not in line]
    return sox.returncode == 0 and b"Samples read" in sox.stderr and warnings == []


def files_open_in(pid, folder):
    """Paths of the files the process has open in `folder` (an unnamed file
    shows as `folder/#inode (deleted)`)."""
    found = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith(str(folder) + "/"):
            found.append(target)
    return found


def wait_for_output_file(pid, folder):
    deadline = time.monotonic() + 20
    while not files_open_in(pid, folder):
        assert time.monotonic() < deadline, "the output file was never opened"
        time.sleep(0.002)


def wait_until_sleeping(pid):
    """Until the process waits for something (here: more of the score)."""
    deadline = time.monotonic() + 20
    while open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0] != "S":
        assert time.monotonic() < deadline, "the process never waited"
        time.sleep(0.002)


@pytest.fixture
def scratch():
    """A folder of the test's own that any user may read."""
    folder = Path(tempfile.mkdtemp(prefix="pluck-render-test-", dir="/tmp"))
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder)


# ---------------------------------------------------------------- the sound


def test_files_hold_the_rendered_samples_the_same_every_time(scratch):
    """The float WAV holds exactly the samples the engine tests pin, from a
    file or a pipe alike, and is the same bytes when rendered at another
    second (no time stamp); sox reads it without a warning. --length renders
    that many milliseconds of the same sound. FLAC is each sample clipped and
    rounded to 24 bits, and the count of clipped samples is said."""
    first = render(DEMO, "-o", scratch / "a.wav")
    assert (first.returncode, first.stderr) == (0, b"")
    samples, _ = read_float_wav(scratch / "a.wav")
    assert fnv1a(samples.tobytes()) == DEMO_DIGEST
    time.sleep(1.05 - time.time() % 1)
    with open(DEMO, "rb") as score:
        assert render("-", "--output", scratch / "b.wav", input=score.read(), stdin=None).returncode == 0
    assert (scratch / "a.wav").read_bytes() == (scratch / "b.wav").read_bytes()
    assert sox_reads_without_a_word(scratch / "a.wav")

    short = render("--length=1001", DEMO, "-o", scratch / "c.wav")
    assert short.returncode == 0 and b"event(s) at or after 1001 ms" in short.stderr
    assert read_float_wav(scratch / "c.wav")[0] == samples[: 2 * frames_at_ms(1001)]

    clipped = sum(1 for x in samples if not -1.0 <= x <= 1.0)
    assert clipped > 0
    for name in ("d.flac", "e.flac"):
        flac = render(DEMO, "-o", scratch / name)
        assert flac.stderr.decode() == "pluck-render: %d of %d samples clipped to [-1, 1]\n" % (clipped, len(samples))
    pcm, info = read_sound_file(scratch / "d.flac")
    assert info == (2, 44100)
    assert [x >> 8 for x in pcm] == [round(max(-1.0, min(1.0, x)) * 8388607) for x in samples]
    assert (scratch / "d.flac").read_bytes() == (scratch / "e.flac").read_bytes()


@pytest.mark.parametrize("name", ["good.wav", "good.flac"])
def test_a_render_of_no_frames_is_a_valid_empty_file(scratch, name):
    assert render(DEMO, "-o", scratch / name).returncode == 0
    assert render(DEMO, "-o", scratch / name, "--length", "0").returncode == 0
    samples, info = read_sound_file(scratch / name)
    assert (len(samples), info) == (0, (2, 44100))
    assert sox_reads_without_a_word(scratch / name)


# ---------------------------------------------------------------- bad input


@pytest.mark.parametrize("text, line, says", [
    (b"0 v\n10 q\n", 2, b'unknown action "q"'),
    (b"# intro\n\nsoon v\n", 3, b'bad time "soon"'),
    (b"-1 v\n", 1, b'bad time "-1"'),
    (b"1.5 v\n", 1, b'bad time "1.5"'),
    (b"0 v\n10\n", 2, b"missing action"),
    (b"2147483648 v\n", 1, b"too late"),
    (b"0 v\n100 z\n# gap\n99 x\n", 4, b"time 99 is earlier than the event before it (100): times must not decrease"),
    (b"0 v x\n", 1, b'unexpected "x" after the action'),
    (b"0\xc2\xa0v\n", 1, b'bad time "0\\xc2\\xa0v"'),
    (b"0 v\n1 z" + b" " * 2000 + b"\n", 2, b"line longer than 1024 bytes"),
    (b"0 v\n# a\0b\n", 2, b"a NUL byte"),
])
def test_a_bad_score_line_is_named_and_nothing_is_written(scratch, text, line, says):
    (scratch / "out.wav").write_bytes(b"earlier take")
    (scratch / "bad.score").write_bytes(text)
    for args, stdin, name in ([scratch / "bad.score"], None, str(scratch / "bad.score")), (["-"], text, "(standard input)"):
        result = render(*args, "-o", scratch / "out.wav", input=stdin, stdin=None if stdin else subprocess.DEVNULL)
        assert result.returncode == 2
        assert result.stderr.startswith(("%s:%d: " % (name, line)).encode()) and says in result.stderr
        assert result.stderr.count(b"\n") == 1 and result.stderr.endswith(b"\n")
    assert sorted(os.listdir(scratch)) == ["bad.score", "out.wav"]
    assert (scratch / "out.wav").read_bytes() == b"earlier take"


def test_endless_binary_input_fails_at_its_first_line(scratch):
    def limit_memory():
        if not SANITIZED:  # sanitizers reserve terabytes of address space
            resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

    result = render("/dev/zero", "-o", scratch / "z.wav", timeout=20, preexec_fn=limit_memory)
    assert (result.returncode, result.stderr) == (2, b"/dev/zero:1: a NUL byte: a score is text, "
                                                      b"and this looks like binary data\n")
    assert os.listdir(scratch) == []


# ---------------------------------------------------------------- the command line


def test_command_line(scratch):
    score, out = scratch / "s.score", scratch / "out.wav"
    score.write_bytes(b"0 v\n")
    for args, says in [
        (["--loud"], "unknown option --loud"),
        (["-q", score, "-o", out], "unknown option -q"),
        (["--help=x"], "option --help takes no value"),
        ([score, "-o"], "option -o needs a value"),
        ([score, "-o", out, "--length"], "option --length needs a value"),
        ([score, "-o", out, "--length", "1.5"], 'bad --length "1.5"'),
        ([score, "-o", scratch / "out.mp3"], "must end in .wav or .flac"),
        ([score], "no output file"),
        (["-o", out], "no score"),
        ([score, score, "-o", out], "more than one score"),
        ([score, "-o", out, "--length", "2147483647"], "too long for a WAV file; write a .flac file"),
    ]:
        result = render(*args)
        assert result.returncode == 2, args
        assert re.fullmatch(r"pluck-render: [^\n]*%s[^\n]*\n" % re.escape(says), result.stderr.decode()), args
        assert result.stdout == b""
    assert os.listdir(scratch) == ["s.score"]

    help_text = render("--help")
    assert (help_text.returncode, help_text.stderr) == (0, b"")
    assert help_text.stdout.startswith(b"usage: pluck-render SCORE -o OUT [--length MS]\n")
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        version = re.search(r"project\(pluck VERSION ([0-9.]+)", f.read()).group(1)
    assert render("--version").stdout.decode() == "pluck-render %s\n" % version

    # The usual GNU forms, options before or after the score.
    for args in (["--length=10", score, "--output=" + str(out)], [score, "--length", "10", "-o", out]):
        assert render(*args).returncode == 0
        assert valid_wav_frames(out) == frames_at_ms(10)


# ---------------------------------------------------------------- output files


def test_an_output_that_cannot_be_written_is_refused_before_rendering(scratch):
    """The score is read from a pipe that never ends, so only a refusal made
    before rendering ends the program. A user other than root is needed to
    meet permissions."""
    as_user = {"user": NOBODY, "group": NOBODY, "extra_groups": []} if os.geteuid() == 0 else {}
    (scratch / "dir.wav").mkdir()
    (scratch / "locked").mkdir()
    (scratch / "locked").chmod(0o555)
    (scratch / "shared").mkdir()
    (scratch / "shared").chmod(0o777)
    (scratch / "shared" / "read-only.wav").write_bytes(b"earlier take")
    (scratch / "shared" / "read-only.wav").chmod(0o444)
    (scratch / "device.wav").symlink_to("/dev/null")
    (scratch / "same.wav").write_bytes(b"0 v\n")
    (scratch / "twin.wav").hardlink_to(scratch / "same.wav")
    before = sorted(os.listdir(scratch))
    for out, reason, score, user in [
        ("dir.wav", "Is a directory", "-", {}),
        ("nowhere/x.wav", "No such file or directory", "-", {}),
        ("device.wav", "not a regular file", "-", {}),
        ("shared/read-only.wav", "Permission denied", "-", as_user),
        ("locked/x.wav", "Permission denied", "-", as_user),
        ("same.wav", "it is the score being read", "same.wav", {}),
        ("twin.wav", "it is the score being read", "same.wav", {}),
    ]:
        process = subprocess.Popen([RENDER, score, "-o", out], cwd=scratch, stdin=subprocess.PIPE,
                                   stderr=subprocess.PIPE, **user)
        try:
            assert process.wait(10) == 1, out
        finally:
            process.kill()
            process.stdin.close()
        assert process.stderr.read().decode() == "pluck-render: cannot write %s: %s\n" % (out, reason)
        process.stderr.close()
    with open(scratch / "same.wav", "rb") as score:
        result = render("-", "-o", scratch / "same.wav", stdin=score)
    assert result.stderr.decode().endswith(": it is the score being read\n")
    assert sorted(os.listdir(scratch)) == before and os.listdir(scratch / "shared") == ["read-only.wav"]
    assert (scratch / "same.wav").read_bytes() == b"0 v\n"
    assert (scratch / "shared" / "read-only.wav").read_bytes() == b"earlier take"


@pytest.mark.parametrize("name", ["out.wav", "out.flac"])
def test_a_write_that_fails_half_way_says_why_and_leaves_nothing(scratch, name):
    (scratch / "s.score").write_bytes(b"0 space-down\n")
    (scratch / name).write_bytes(b"earlier take")

    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (256 * 1024, 256 * 1024))

    result = render(scratch / "s.score", "-o", scratch / name, "--length", "10000", preexec_fn=limit_file_size)
    assert (result.returncode, result.stderr.decode()) == (1, "pluck-render: cannot write %s: File too large\n"
                                                           % (scratch / name))
    assert sorted(os.listdir(scratch)) == sorted(["s.score", name])
    assert (scratch / name).read_bytes() == b"earlier take"


def test_links_permissions_and_long_names_are_kept(scratch):
    """-o through a symbolic link writes the file it points to; a replaced
    file keeps its permission bits and owner, and every name of a hard-linked
    file shows the new sound; a 250-byte name works."""
    (scratch / "s.score").write_bytes(b"0 v\n")
    (scratch / "real.wav").write_bytes(b"earlier take")
    (scratch / "real.wav").chmod(0o600)
    owner = (NOBODY, NOBODY) if os.geteuid() == 0 else (os.geteuid(), os.getegid())
    os.chown(scratch / "real.wav", *owner)
    (scratch / "link.wav").symlink_to("real.wav")
    (scratch / "dangling.wav").symlink_to("new.wav")
    (scratch / "hard.wav").write_bytes(b"earlier take")
    (scratch / "hard-twin.wav").hardlink_to(scratch / "hard.wav")
    long_name = "a" * 246 + ".wav"
    for out in ("link.wav", "dangling.wav", "hard.wav", long_name):
        result = render(scratch / "s.score", "-o", out, "--length", "10", cwd=scratch)
        assert (result.returncode, result.stderr) == (0, b""), out
    assert os.readlink(scratch / "link.wav") == "real.wav" and os.readlink(scratch / "dangling.wav") == "new.wav"
    real = os.stat(scratch / "real.wav")
    assert (real.st_mode & 0o7777, real.st_uid, real.st_gid) == (0o600, *owner)
    umask = os.umask(0)
    os.umask(umask)
    assert os.stat(scratch / "new.wav").st_mode & 0o7777 == 0o666 & ~umask
    hard, twin = os.stat(scratch / "hard.wav"), os.stat(scratch / "hard-twin.wav")
    assert (hard.st_ino, hard.st_nlink) == (twin.st_ino, 2)
    for name in ("real.wav", "new.wav", "hard-twin.wav", long_name):
        assert valid_wav_frames(scratch / name) == frames_at_ms(10)
    assert sorted(os.listdir(scratch)) == sorted(["s.score", "real.wav", "link.wav", "dangling.wav", "new.wav",
                                                  "hard.wav", "hard-twin.wav", long_name])


# ---------------------------------------------------------------- signals

STOP_SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2,
                signal.SIGALRM]


def default_signal_actions():
    """As in an interactive shell: a job started in the background by a
    script has SIGINT and SIGQUIT ignored, and the program leaves them so."""
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_DFL)


@pytest.mark.parametrize("number, named_temp", [
    (number, named) for number in STOP_SIGNALS + [signal.SIGKILL, signal.SIGPIPE] for named in (False, True)
    if not (named and number == signal.SIGKILL)  # nothing can remove a named file after SIGKILL
], ids=lambda p: p.name if isinstance(p, signal.Signals) else ("named" if p else "unnamed"))
def test_a_signal_leaves_nothing_behind(scratch, number, named_temp):
    """Stopped while it waits for more of the score (or, with a named file,
    while it renders), the program removes its file and dies of the signal;
    an earlier file of the name is untouched. SIGPIPE is ignored. Without
    O_TMPFILE the file has a short hidden name while it is written."""
    out = scratch / "out.wav"
    out.write_bytes(b"earlier take")
    process = subprocess.Popen([RENDER, "-", "-o", out], stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=environment(named_temp), preexec_fn=default_signal_actions)
    try:
        process.stdin.write(b"0 space-down\n60000 z\n" if named_temp else b"0 space-down\n")
        process.stdin.flush()
        wait_for_output_file(process.pid, scratch)
        assert any(name.startswith(".pluck-render-") for name in os.listdir(scratch)) == named_temp
        if not named_temp:
            wait_until_sleeping(process.pid)
        os.kill(process.pid, number)
        if number == signal.SIGPIPE:
            time.sleep(0.2)
            assert process.poll() is None
            process.stdin.close()
            assert process.wait(20) == 0
            assert valid_wav_frames(out) == frames_at_ms(63000 if named_temp else 3000)
        else:
            assert process.wait(20) == -number
            expected = b"" if number == signal.SIGKILL else b"pluck-render: stopped; %s not written\n" % bytes(out)
            assert process.stderr.read() == expected
            assert out.read_bytes() == b"earlier take"
        assert os.listdir(scratch) == ["out.wav"]
    finally:
        process.kill()
        process.wait()
        process.stdin.close()
        process.stderr.close()


# ---------------------------------------------------------------- progress


@pytest.mark.parametrize("columns, source", [(80, "file"), (40, "file"), (12, "file"), (40, "pipe")])
def test_the_progress_line_fits_the_terminal(scratch, columns, source):
    """A render that runs over a second shows its progress on a terminal, in
    place on one line that never reaches the last column, and ends on a
    fresh line at 100 %. The length of a score in a file is known ahead; one
    from a pipe shows the time rendered so far."""
    score = scratch / "long.score"
    if source == "file":
        score.write_bytes(b"0 space-down\n297000 space-up\n")  # five minutes with the tail
    else:
        os.mkfifo(score)

        def play_slowly():  # the render waits for the rest of the score
            with open(score, "wb") as pipe:
                pipe.write(b"0 space-down\n")
                pipe.flush()
                time.sleep(1.5)
                pipe.write(b"297000 space-up\n")

        threading.Thread(target=play_slowly, daemon=True).start()
    term = Terminal([RENDER, str(score), "-o", str(scratch / "long.wav")], answer=False, dimensions=(24, columns))
    try:
        if source == "file":
            # Stopped for a while, the render runs longer than a second on any machine.
            wait_for_output_file(term.child.pid, scratch)
            os.kill(term.child.pid, signal.SIGSTOP)
            assert term.child.isalive(), "the render ended before it could be stopped"
            time.sleep(1.5)
            os.kill(term.child.pid, signal.SIGCONT)
        assert term.exit_status(60) == 0
    finally:
        term.close()
    screen, rest = term.output.split(b"\r\n")
    assert rest == b""
    draws = screen.split(b"\r")
    assert draws[0] == b"" and len(draws) >= 3
    assert all(len(d) <= columns - 1 for d in draws)
    assert b"100%" in draws[-1]
    if columns == 80:
        assert draws[-1] == b"[" + b"#" * 30 + b"] 100%  5:00 of 5:00"
    if source == "pipe":
        assert re.fullmatch(rb"0:[0-9]{2} rendered *", draws[1])
    elif columns >= 40:
        assert draws[1].endswith(b" of 5:00")
