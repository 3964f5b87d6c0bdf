"""pluck-render run as a user runs it: the files it writes (and does not
leave behind), its messages and exit statuses, signals and Ctrl-C, and its
progress line on a terminal.

Every build runs this file. In the Windows build's folder every case runs
pluck-render.exe under Wine (scripts/wine-run, in the build folder's own
prefix), and in the arm64 build's pluck-render runs under qemu; their
files, messages and statuses must be the x86-64 Linux build's;
the cases that belong to one system are marked so. A Windows program started
by Wine is the Linux process itself, so it can be stopped and continued like
one.
"""
import array
import contextlib
import fcntl
import os
import re
import resource
import shlex
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import zipfile
from pathlib import Path

import pexpect
import pytest

from conftest import BUILD, ROOT, program
from harness.pulse import wait_until
from harness.sound import fnv1a, read_float_wav, read_sound_file
from harness.wine import WINE_RUN, prefix_of, windows_path

WINDOWS = os.path.exists(os.path.join(BUILD, "pluck_render", "pluck-render.exe"))
EXE = os.path.join(BUILD, "pluck_render", "pluck-render" + (".exe" if WINDOWS else ""))
RENDER = [WINE_RUN, prefix_of(BUILD), EXE] if WINDOWS else [program("pluck-render")]
PIPE_TO = RENDER[:2] + [os.path.join(BUILD, "tests", "windows", "pipe_to.exe")]
linux_only = pytest.mark.skipif(WINDOWS, reason="Linux only")
windows_only = pytest.mark.skipif(not WINDOWS, reason="Windows only")
DEMO = os.path.join(ROOT, "examples", "demo.score")
# 64-bit FNV-1a over the demo score's samples, taken from a release build:
# every build preset and every run must render these bits.
DEMO_DIGEST = 0x42DE79AC448D4FBE
EARLIER = b"earlier take"
NOBODY = 65534
SANITIZED = any(name in os.path.basename(BUILD) for name in ("asan", "tsan"))
ESCAPES = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")


frames_at_ms = lambda ms: ms * 44100 // 1000  # noqa: E731


def limit_memory():
    """An endless score must fail at its first line, not fill the memory
    (where address space means memory: not under a sanitizer or Wine)."""
    if not SANITIZED and not WINDOWS:
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))


def text(output):
    """Output as text, its lines ending in \\n on either system."""
    return output.replace(b"\r\n", b"\n").decode()


def render(*args, cwd, input=None, preexec_fn=limit_memory, **kwargs):
    outputs = {"stderr": subprocess.PIPE} if "stdout" in kwargs else {"capture_output": True}
    return subprocess.run(RENDER + [str(a) for a in args], cwd=cwd, input=input, timeout=120, **outputs,
                          stdin=subprocess.DEVNULL if input is None else None, preexec_fn=preexec_fn, **kwargs)


def samples_of(path):
    samples, info = read_float_wav(path)
    assert info == {"channels": 2, "rate": 44100}
    return samples


def output_bytes(pid, folder):
    """The size of the output file the process has open, by its temporary
    name or unnamed (on Linux: `folder/#inode (deleted)`), or -1; not the
    score it reads from the same folder, which it opens first."""
    for name in os.listdir(folder):
        if name.startswith(".pluck-"):
            with contextlib.suppress(OSError):
                return os.stat(os.path.join(folder, name)).st_size
    for fd in Path("/proc/%d/fd" % pid).iterdir():
        with contextlib.suppress(OSError):
            target = os.readlink(fd)
            if target.startswith(str(folder) + "/") and target.endswith(" (deleted)"):
                return os.stat(fd).st_size
    return -1


def contents(folder):
    return {path: path.read_bytes() for path in folder.rglob("*") if path.is_file()}


@pytest.fixture
def scratch():
    """A folder of the test's own that any user may read."""
    folder = Path(tempfile.mkdtemp(prefix="pluck-render-test-", dir="/tmp"))
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder)


# ---------------------------------------------------------------- the sound


def wav_header(frames):
    """IEEE float, 2 channels, 44100 Hz, then the fact and data sizes."""
    return struct.pack("<4sI4s4sIHHIIHHH4sII4sI", b"RIFF", 50 + 8 * frames, b"WAVE", b"fmt ", 18, 3, 2, 44100,
                       352800, 8, 32, 0, b"fact", 4, frames, b"data", 8 * frames)


def test_the_demo_renders_to_its_pinned_bits(scratch):
    """The float WAV is the header worked out from the format and exactly the
    samples the engine tests pin, nothing more (no time stamp); a complete
    render replaces an earlier file. The same score from a pipe in any
    layout renders the same: a byte order mark and CRLF around a line of the
    longest text (1024 bytes), comments and blank lines of any length,
    tabs and blanks around the text, leading zeros (in --length too, its
    natural length here) and no newline at the end. An event at the very
    end of --length is counted, not played; with 0, a valid empty file.
    FLAC is each sample clipped and rounded to 24 bits, the clipped counted."""
    shutil.copy(DEMO, scratch / "demo.score")
    (scratch / "a.wav").write_bytes(EARLIER)
    assert render("demo.score", "-o", "a.wav", cwd=scratch).stderr == b""
    samples = samples_of(scratch / "a.wav")
    assert fnv1a(samples.tobytes()) == DEMO_DIGEST
    assert (scratch / "a.wav").read_bytes() == wav_header(len(samples) // 2) + samples.tobytes()
    [first, *events] = [line.split() for line in Path(DEMO).read_bytes().splitlines() if line[:1].isdigit()]
    score = b"\xef\xbb\xbf%s%s%s%s\r\n# a phrase\r\n\n%s\n%s#%s\r\n" % (first[0], b" " * (
        1024 - len(first[0]) - len(first[1])), first[1], b" " * 2000, b" \t" * 900, b" " * 2000, b"~" * 5000)
    score += b"\r\n".join(b"\t0%s \t%s  " % (time_ms, action) for time_ms, action in events)
    assert render("-", "--output=b.wav", "--length=010760", cwd=scratch, input=score).returncode == 0
    assert (scratch / "a.wav").read_bytes() == (scratch / "b.wav").read_bytes()
    (scratch / "end.score").write_bytes(b"0 v\n1000 z\n")
    said = text(render("end.score", "-o", "d.wav", "--length", "1000", cwd=scratch).stderr)
    assert said == "pluck-render: 1 event(s) at or after 1000 ms, the end of the render, are not played\n"
    for name in ("e.wav",) if WINDOWS else ("e.wav", "e.flac"):
        assert render("demo.score", "-o", name, "--length", "0", cwd=scratch).returncode == 0
    assert (scratch / "e.wav").read_bytes() == wav_header(0)
    if not WINDOWS:
        assert read_sound_file(scratch / "e.flac") == (array.array("i"), (2, 44100))
        said = text(render("demo.score", "-o", "f.flac", cwd=scratch).stderr)
        clipped = sum(1 for x in samples if not -1.0 <= x <= 1.0)
        assert clipped > 0 and said == "pluck-render: %d of %d samples clipped to [-1, 1]\n" % (clipped, len(samples))
        pcm, info = read_sound_file(scratch / "f.flac")
        assert [x >> 8 for x in pcm] == [round(max(-1.0, min(1.0, x)) * 8388607) for x in samples]


# ---------------------------------------------------------------- refusals

linux = lambda *row: pytest.param(*row, marks=linux_only)  # noqa: E731
windows = lambda *row: pytest.param(*row, marks=windows_only)  # noqa: E731
BAD_LINES = [
    (b"0 v\n10 q\n", 2, 'unknown action "q": expected z x c v b n m k, space-down or space-up'),
    (b"# intro\n\nsoon v\n", 3, 'bad time "soon"'),
    (b"-1 v\n", 1, 'bad time "-1"'),
    (b"0 v\n10\n", 2, "missing action"),
    (b"2147483648 v\n", 1, 'time "2147483648" is too late'),
    (b"99999999999x v\n", 1, 'time "99999999999x" is too late'),  # too large before it is no number
    (b"0 v\n1" + b"0" * 30 + b" v\n", 2, 'time "1000000000000000000000000000000" is too late'),  # beyond 64 bits
    (b"0 v\n100 z\n# gap\n99 x\n", 4, "time 99 is earlier than the event before it (100): times must not decrease"),
    (b"0 v x\n", 1, 'unexpected "x" after the action'),
    (b"0\xc2\xa0v\n", 1, 'bad time "0\\xc2\\xa0v"'),
    (b"0 v\n  1" + b" " * 1023 + b"z\r\n", 2, "line longer than 1024 bytes"),
    (b"0 v\n# a\0b\n", 2, "a NUL byte"),
]
REFUSALS = [
    # A bad line, at once, from a score named in UTF-8, or the first bad one
    # from standard input as it streams.
    *[(["ñandú.score", "-o", "out.wav"], score, 2, "ñandú.score:%d: %s" % (line, says))
      for score, line, says in BAD_LINES],
    (["-", "-o", "out.wav"], b"0 v\n# x\n5 q\n6 w\n", 2, '(standard input):3: unknown action "q"'),
    linux(["/dev/zero", "-o", "z.wav"], b"", 2, "/dev/zero:1: a NUL byte: a score is text, and this looks like "
          "binary data\n"),
    # The command line: says what is wrong, and where help is (the forms'
    # own errors are read_command_line's, tests/system).
    (["--loud"], b"", 2, "pluck-render: unknown option --loud (see pluck-render --help)\n"),
    (["s.score", "-o", "out.wav", "--length", "1.5"], b"", 2, 'bad --length "1.5"'),
    (["s.score", "-o", "out.mp3"], b"", 2, "must end in .wav or .flac"),
    (["s.score"], b"", 2, "no output file"),
    (["-o", "out.wav"], b"", 2, "no score"),
    (["s.score", "s.score", "-o", "out.wav"], b"", 2, "pluck-render: more than one score given"),
    (["s.score", "-o", "out.wav", "--length", "2147483647"], b"", 2, "2147483647 ms is too long for a WAV file"),
    # Too long for a WAV file once the score is read: from a file before
    # anything is rendered, from a pipe at the event that makes it so.
    (["ñandú.score", "-o", "out.wav"], b"0 v\n12000000 z\n2147483647 k\n", 2, "pluck-render: a render of "
     "2147486647 ms (to 3000 ms after the event at ñandú.score:3) is too long for a WAV file"),
    (["-", "-o", "out.wav"], b"0 v\n1 z\n12200000 k\n", 2, "(standard input):3) is too long for a WAV file"),
    windows(["s.score", "-o", "out.flac"], b"", 2, "pluck-render: cannot write out.flac: this Windows build writes WAV "
            "files only (its FLAC encoder, libsndfile, is in the Linux build); write a .wav file instead (see "
            "pluck-render --help)\n"),
    # Files that cannot be read or written, refused before rendering: as
    # standard input stays open, nothing else ends the program. The score
    # by another name (a hard link) is still the score.
    (["missing.score", "-o", "out.wav"], b"", 1, "pluck-render: cannot read missing.score: "),
    (["-", "-o", "folder.wav"], b"", 1, "pluck-render: cannot write folder.wav: Is a directory\n"),
    (["-", "-o", "nowhere/x.wav"], b"", 1, "pluck-render: cannot write nowhere/x.wav: "),
    linux(["-", "-o", "dev.wav"], b"", 1, "cannot write dev.wav: not a regular file\n"),
    windows(["-", "-o", "NUL.wav"], b"", 1, "cannot write NUL.wav: not a regular file\n"),
    *[linux(["-", "-o", name], b"", 1, "cannot write %s: Permission denied\n" % name)
      for name in ("shared/old.wav", "locked/x.wav")],
    # A write that fails half way (the file size limit below).
    *[linux(["ñandú.score", "-o", name, "--length", "10000"], b"0 space-down\n", 1,
            "pluck-render: cannot write %s: File too large\n" % name) for name in ("out.wav", "out.flac")],
    (["same.wav", "-o", "twin.wav"], b"", 1, "pluck-render: cannot write twin.wav: it is the score being read\n"),
]


@pytest.mark.parametrize("args, score, status, says", REFUSALS)
def test_a_refusal_is_one_line_and_leaves_every_file_as_it_was(scratch, args, score, status, says):
    """One line on standard error, the status the help gives (2: the command
    line or a score line, 1: a file); nothing written, no temporary file
    left, an earlier file untouched. Permissions are met as a user other than
    root; files may grow to 256 KB (a fault must not fill the disk)."""
    for name, content in (("ñandú.score", score), ("s.score", b"0 v\n"), ("same.wav", b"0 v\n"),
                          ("out.wav", EARLIER)):
        (scratch / name).write_bytes(content)
    (scratch / "twin.wav").hardlink_to(scratch / "same.wav")
    (scratch / "dev.wav").symlink_to("/dev/null")
    for folder, mode in (("folder.wav", 0o755), ("shared", 0o777), ("locked", 0o555)):
        (scratch / folder).mkdir()
        (scratch / folder).chmod(mode)
    (scratch / "shared" / "old.wav").write_bytes(EARLIER)
    (scratch / "shared" / "old.wav").chmod(0o444)
    before = contents(scratch)
    as_user = {"user": NOBODY, "group": NOBODY, "extra_groups": []} if "Permission" in says and os.getuid() == 0 else {}
    # Leaving the block closes standard input, which ends any wait for the score.
    limits = lambda: (limit_memory(), resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 18, 1 << 18)))
    with subprocess.Popen(RENDER + args, cwd=scratch, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, preexec_fn=limits, **as_user) as process:
        process.stdin.write(score if args[0] == "-" else b"")
        process.stdin.flush()
        assert process.wait(60) == status and process.stdout.read() == b""
        said = text(process.stderr.read())
        assert says in said and said.count("\n") == 1 and said.endswith("\n")
    assert contents(scratch) == before


def test_help_and_version(scratch):
    """Their text; into a full disk, one line and status 1 (the ending of
    standard output every answer shares: tests/pluck/test_options.cpp)."""
    version = re.search(r"project\(pluck VERSION ([0-9.]+)", Path(ROOT, "CMakeLists.txt").read_text()).group(1)
    assert text(render("--version", cwd=scratch).stdout) == "pluck-render %s\n" % version
    assert text(render("--help", cwd=scratch).stdout).startswith("usage: pluck-render SCORE -o OUT [--length MS]\n")
    with open("/dev/full", "wb") as full:
        result = render("--help", cwd=scratch, stdout=full)
    assert (result.returncode, text(result.stderr)) == (
        1, "pluck-render: cannot write (standard output): No space left on device\n")


# ---------------------------------------------------------------- files on Linux


@linux_only
def test_links_permissions_and_long_names_are_kept(scratch):
    """-o through a symbolic link writes the file it points to; a replaced
    file keeps its permission bits and owner, a new one takes the umask's;
    every name of a hard-linked file shows the new sound, copied in once
    another program copying into it (holding its lock) is done; a 250-byte
    name works. 9 ms are 396 frames: 396.9 rounded down."""
    for name, content in (("s.score", b"0 v\n"), ("real.wav", EARLIER), ("hard.wav", EARLIER)):
        (scratch / name).write_bytes(content)
    (scratch / "real.wav").chmod(0o600)
    owner = (NOBODY, NOBODY) if os.getuid() == 0 else (os.getuid(), os.getgid())
    os.chown(scratch / "real.wav", *owner)
    (scratch / "link.wav").symlink_to("real.wav")
    (scratch / "dangling.wav").symlink_to("new.wav")
    (scratch / "hard-twin.wav").hardlink_to(scratch / "hard.wav")
    long_name = "a" * 246 + ".wav"
    for out in ("link.wav", "dangling.wav", long_name):
        assert render("s.score", "-o", out, "--length", "9", cwd=scratch).returncode == 0
    with open(scratch / "hard-twin.wav") as held:  # the render waits, its request in /proc/locks
        fcntl.flock(held, fcntl.LOCK_EX)
        process = subprocess.Popen(RENDER + ["s.score", "-o", "hard.wav", "--length=9"], cwd=scratch)
        request = re.compile(r"-> FLOCK .*:%d " % os.fstat(held.fileno()).st_ino)
        wait_until(lambda: request.search(Path("/proc/locks").read_text()) or process.poll() is not None, "no wait")
        assert process.poll() is None and (scratch / "hard.wav").read_bytes() == EARLIER
    assert process.wait(10) == 0
    assert os.readlink(scratch / "link.wav") == "real.wav" and os.readlink(scratch / "dangling.wav") == "new.wav"
    real = os.stat(scratch / "real.wav")
    assert (real.st_mode & 0o7777, real.st_uid, real.st_gid) == (0o600, *owner)
    os.umask(umask := os.umask(0))  # read, and put back
    assert os.stat(scratch / "new.wav").st_mode & 0o7777 == 0o666 & ~umask
    for name in ("real.wav", "new.wav", "hard-twin.wav", long_name):
        assert len(samples_of(scratch / name)) == 2 * frames_at_ms(9)
    assert len(os.listdir(scratch)) == 8


# ---------------------------------------------------------------- stopping

# Every signal whose default ends a process: these stop the render between
# chunks, and it says so; a crash signal ends it at once, after its cleanup.
STOP_SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2,
                signal.SIGALRM, signal.SIGXCPU, signal.SIGVTALRM, signal.SIGPROF, signal.SIGPWR, signal.SIGSTKFLT,
                signal.SIGIO]
CRASH_SIGNALS = [signal.SIGSEGV, signal.SIGABRT, signal.SIGBUS, signal.SIGFPE, signal.SIGILL, signal.SIGTRAP,
                 signal.SIGSYS]


def default_signal_actions():
    """As in an interactive shell: a job started in the background by a
    script has SIGINT and SIGQUIT ignored, and the program leaves them so.
    No core files in the test's folder."""
    for number in STOP_SIGNALS:
        signal.signal(number, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


# Under Wine these end the program running none of its code, with these
# statuses: Wine's server deletes its temporary file, marked for deletion
# while written.
WINE_ENDINGS = {signal.SIGTERM: -signal.SIGTERM, signal.SIGHUP: -signal.SIGHUP, signal.SIGQUIT: 0}


@pytest.mark.parametrize("number, named_temp", [(number, True) for number in WINE_ENDINGS] if WINDOWS else [
    (number, named) for number in STOP_SIGNALS + CRASH_SIGNALS + [signal.SIGKILL, signal.SIGPIPE]
    for named in (False, True)
    if not (named and number == signal.SIGKILL)  # nothing can remove a named file after SIGKILL
], ids=lambda p: p.name if isinstance(p, signal.Signals) else ("named" if p else "unnamed"))
def test_a_signal_leaves_nothing_behind(scratch, number, named_temp):
    """Stopped while it waits for more of the score (or, with a named file,
    while it renders), the program removes its file and dies of the signal;
    an earlier file of the name is untouched. SIGPIPE is ignored. On a file
    system without O_TMPFILE (as libno_tmpfile makes it) the file has a short
    hidden name meanwhile."""
    out = scratch / "out.wav"
    out.write_bytes(EARLIER)
    env = dict(os.environ, LD_PRELOAD=os.path.join(BUILD, "tests", "support", "libno_tmpfile.so"),
               ASAN_OPTIONS="verify_asan_link_order=0") if named_temp and not WINDOWS else None
    with subprocess.Popen(RENDER + ["-", "-o", "out.wav"], cwd=scratch, stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env, preexec_fn=default_signal_actions) as process:
        process.stdin.write(b"0 space-down\n60000 z\n" if named_temp else b"0 space-down\n")
        process.stdin.flush()
        # A named file, once written to: on the cleanup list.
        wait_until(lambda: output_bytes(process.pid, scratch) >= named_temp, "the output file was never opened", 60)
        assert any(name.startswith(".pluck-") for name in os.listdir(scratch)) == named_temp
        if not named_temp:  # until it waits for more of the score
            wait_until(lambda: Path("/proc/%d/stat" % process.pid).read_text().split(")")[-1].split()[0] == "S",
                       "the program never waited", 60)
        os.kill(process.pid, number)
        if number == signal.SIGPIPE:
            time.sleep(0.2)
            assert process.poll() is None
            process.stdin.close()
            assert process.wait(20) == 0
            assert len(samples_of(out)) == 2 * frames_at_ms(63000 if named_temp else 3000)
        else:
            assert process.wait(20) == (WINE_ENDINGS[number] if WINDOWS else -number)
            said = b"pluck-render: stopped; out.wav not written\n" if number in STOP_SIGNALS else b""
            assert WINDOWS or process.stderr.read() == said
    wait_until(lambda: os.listdir(scratch) == ["out.wav"], "a file was left", 20)
    assert out.read_bytes() == EARLIER or number == signal.SIGPIPE


@windows_only
@pytest.mark.parametrize("source", ["console", "pipe"])
def test_ctrl_c_stops_a_render_waiting_for_the_score(scratch, source):
    """The score typed into the console, or coming through a Windows pipe
    that stays open: Ctrl-C ends the wait for the next line, removes the
    temporary file and ends the program as Ctrl-C ends a console program
    (STATUS_CONTROL_C_EXIT, whose low byte Wine hands to Linux)."""
    (scratch / "c.wav").write_bytes(EARLIER)
    (scratch / "s.score").write_bytes(b"0 space-down\n")
    args = RENDER + ["-", "-o", "c.wav"] if source == "console" else PIPE_TO + [
        "--open", "s.score", "%s - -o c.wav" % windows_path(EXE)]
    command = shlex.join(args) + "; echo status=$?"
    with pexpect.spawn("/bin/bash", ["-c", command], cwd=str(scratch), timeout=60) as child:
        wait_until(lambda: output_bytes(child.pid, scratch) >= 0, "the output file was never opened", 60)
        if source == "console":
            child.send("0 space-down\r")
        time.sleep(1.0)
        child.sendcontrol("c")
        child.expect(pexpect.EOF)
    said = ESCAPES.sub(b"", child.before).replace(b" ", b"")
    assert b"pluck-render:stopped;c.wavnotwritten\r" in said and said.endswith(b"status=58\r\n"), said
    assert sorted(os.listdir(scratch)) == ["c.wav", "s.score"] and (scratch / "c.wav").read_bytes() == EARLIER


@windows_only
def test_the_release_zip_renders_the_demo_score(scratch):
    """cpack makes the zip; its pluck-render.exe renders its example score,
    piped in through a Windows pipe, to the pinned bits, into a file whose
    name is not ASCII."""
    subprocess.run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", scratch],
                   capture_output=True, timeout=300, check=True)
    [archive] = scratch.glob("pluck-*-windows-x86_64.zip")
    folder = scratch / archive.name[: -len(".zip")]
    with zipfile.ZipFile(archive) as z:
        assert sorted(name for name in z.namelist() if not name.endswith("/")) == sorted(
            folder.name + "/" + name
            for name in ("pluck.exe", "pluck-render.exe", "README.md", "examples/demo.score"))
        z.extractall(scratch)
    result = subprocess.run(PIPE_TO + ["examples\\demo.score", 'pluck-render.exe - -o "démo ♪.wav"'], cwd=folder,
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, b"")
    assert fnv1a(samples_of(folder / "démo ♪.wav").tobytes()) == DEMO_DIGEST


# ---------------------------------------------------------------- progress


@pytest.mark.parametrize("columns, source", [
    (80, "file"), (40, "file"), pytest.param(12, "file", marks=linux_only),
    pytest.param(40, "pipe", marks=linux_only)])
def test_the_progress_line_fits_the_terminal(scratch, columns, source):
    """A render that runs over a second shows its progress on a terminal (or
    a Windows console), in place on one line that never reaches the last
    column, and ends on a fresh line at 100 %. The length of a score in a
    file is known ahead; one from a pipe shows the time rendered so far."""
    (scratch / "long.score").write_bytes(b"0 space-down\n297000 space-up\n")  # five minutes with the tail
    command = RENDER + ["long.score", "-o", "long.wav"]
    if source == "pipe":  # the render waits for the rest of the score
        command = ["/bin/bash", "-c", "(echo 0 space-down; sleep 1.5; echo 297000 space-up) | %s - -o long.wav"
                   % shlex.join(RENDER)]
    with pexpect.spawn(command[0], command[1:], cwd=str(scratch), dimensions=(24, columns), timeout=60) as child:
        # The test holds the terminal as well: a busy kernel may drop the last
        # of the output when the program, its last holder, ends.
        with os.fdopen(os.open("/proc/%d/fd/2" % child.pid, os.O_RDWR | os.O_NOCTTY), "rb", buffering=0):
            if source == "file":  # stopped for a while, it runs longer than a second on any machine
                # Once the first samples are written, the clock the delay counts on is running.
                wait_until(lambda: output_bytes(child.pid, scratch) > len(wav_header(0)), "the render never began", 60)
                os.kill(child.pid, signal.SIGSTOP)
                time.sleep(1.5)
                os.kill(child.pid, signal.SIGCONT)
            child.expect(b"\r\n")
            screen = child.before
            assert child.wait() == 0
        child.expect(pexpect.EOF)  # and nothing after the fresh line
        assert child.before == b""
    full = b"[" + b"#" * min(30, columns - 22) + b"] 100%  5:00 of 5:00"
    if WINDOWS:  # Wine's console draws with cursor moves, which also stand for the spaces they skip over
        draws = ESCAPES.sub(b"", screen).split(b"\r")
        assert len(draws) >= 2 and draws[-2] == full, screen
        return
    draws = screen.split(b"\r")
    assert draws[0] == b"" and len(draws) >= 3
    assert all(len(d) <= columns - 1 for d in draws) and b"100%" in draws[-1]
    if source == "pipe":
        assert re.fullmatch(rb"0:[0-9]{2} rendered *", draws[1])
    elif columns >= 40:
        assert draws[-1] == full and draws[1].endswith(b" of 5:00")
