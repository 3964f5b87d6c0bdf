"""pluck --record as a player counts on it: the take is on the disk while it
is played (FILE.part, a valid WAV file whose sizes are never a second
behind), takes its name complete when pluck quits, survives a kill, keeps
what fit when the disk is full; names it cannot record to are refused before
anything plays. On PulseAudio (tests/harness/pulse.py), in a real
pseudo-terminal (tests/harness/terminal.py) or fed by a pipe."""
import os
import resource
import select
import shutil
import signal
import subprocess
import tempfile
from pathlib import Path

import pytest

from conftest import program
from harness import sound
from harness.pulse import start_server
from harness.terminal import SESSION_READY, Terminal

PLUCK = program("pluck")
RATE = 44100
EARLIER = b"an earlier take"
NOBODY = 65534


@pytest.fixture
def server():
    with start_server("pulseaudio") as s:
        yield s


@pytest.fixture
def folder():
    """A folder of the test's own that any user may read."""
    path = Path(tempfile.mkdtemp(prefix="pluck-take-", dir="/tmp"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


def frames_on_disk(path):
    """The frames libsndfile reads from the file as it is now."""
    samples, (channels, rate) = sound.read_sound_file(str(path))
    assert (channels, rate) == (2, RATE)
    return len(samples) // 2


def heard_s(recording):
    return sum(1 for x in recording.frames()[0::2] if x != 0.0) / RATE


def from_first_sound(frames):
    return frames[2 * sound.first_sound(frames):]


# V typed at the start, heard for two seconds, then Escape or a SIGKILL. At
# every look the .part holds all that was heard but the last second. Quit,
# the take replaces the earlier file whole: every sounding frame the server
# played, to the last, and nothing else. Killed, the .part keeps the take
# and the earlier file is untouched. Both are what pluck-render makes of V.
@pytest.mark.parametrize("name, ending", [("take.wav", b"\x1b"), ("Take.WAV", signal.SIGKILL)])
def test_the_take_is_on_the_disk_while_it_is_played(server, tmp_path, name, ending):
    take, part = tmp_path / name, tmp_path / (name + ".part")
    take.write_bytes(EARLIER)
    heard = server.record()
    t = Terminal([PLUCK, "--record", str(take)], env=dict(server.env, TERM="xterm"), typed_first=b"v")
    try:
        t.wait_for(SESSION_READY)
        for seconds in (1.0, 2.0):
            t.wait_for(lambda: heard_s(heard) >= seconds)
            played = heard_s(heard)
            assert frames_on_disk(part) >= (played - 1.0) * RATE and take.read_bytes() == EARLIER
        t.child.kill(ending) if isinstance(ending, int) else t.send(ending)
        assert t.exit_status() == (-ending if isinstance(ending, int) else 0)
    finally:
        t.close()
    server_sound = [x for x in heard.stop() if x != 0.0]
    kept = part if isinstance(ending, int) else take
    assert set(os.listdir(tmp_path)) == {name, kept.name}
    recorded = sound.read_float_wav(str(kept))[0]
    assert frames_on_disk(kept) == len(recorded) // 2 >= (played - 1.0) * RATE
    sounding = [x for x in recorded if x != 0.0]
    assert sounding == server_sound[:len(sounding)] and (kept == part or len(sounding) == len(server_sound))
    (tmp_path / "v.score").write_text("0 v\n")
    subprocess.run([program("pluck-render"), tmp_path / "v.score", "-o", tmp_path / "v.wav", "--length", "8000"])
    rendered = from_first_sound(sound.read_float_wav(str(tmp_path / "v.wav"))[0])
    after = from_first_sound(recorded)
    assert after == rendered[:len(after)]


# A file limit (as a full disk) met 2.8 s into the take, part way through a
# frame: said at once in one line; the .part is a valid WAV file of the
# whole frames that fit; the instrument plays on; at the end the take is
# said to be incomplete, status 1, and the earlier file is untouched.
def test_a_full_disk_is_said_at_once_and_the_take_keeps_what_fit(server, tmp_path):
    take, part = tmp_path / "take.wav", tmp_path / "take.wav.part"
    take.write_bytes(EARLIER)
    limit = 1000003
    fit = (limit - 58) // 8

    # Not in shared memory, whose file the limit would refuse: the sound goes
    # to the server through its socket.
    (tmp_path / "client.conf").write_text("enable-shm = no\n")

    def limit_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    child = subprocess.Popen([PLUCK, "--record", str(take)], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, env=dict(server.env, PULSE_CLIENTCONFIG=str(tmp_path / "client.conf")),
                             preexec_fn=limit_files, restore_signals=False)
    try:
        child.stdin.write(b"v")
        child.stdin.flush()
        said = b""
        while not said.endswith(b"\n"):
            assert select.select([child.stderr], [], [], 15)[0], "nothing said"
            said += os.read(child.stderr.fileno(), 4096)
        assert said.decode() == "pluck: cannot write %s: File too large; %s keeps the first %.1f s of the take, " \
                                "the rest is not recorded\n" % (take, part, fit / RATE)
        assert os.path.getsize(part) == 58 + 8 * fit and frames_on_disk(part) == fit
        assert child.poll() is None, "the instrument stopped"
        child.stdin.close()
        assert child.wait(15) == 1
        assert child.stderr.read().decode() == "pluck: the take is incomplete: %s holds its first %.1f s, all that " \
                                               "could be written\n" % (part, fit / RATE)
    finally:
        child.kill()
        child.wait()
    assert take.read_bytes() == EARLIER and frames_on_disk(part) == fit


# Refused in one line before anything plays, every file left as it was:
# names pluck cannot record to (status 2), a take kept from an earlier run
# and, for a user other than root, another user's file in a sticky folder,
# which could be written but not replaced (status 1).
@pytest.mark.parametrize("name, status, says", [
    ("take.flac", 2, "cannot record to take.flac: pluck records WAV files only, named FILE.wav (see pluck --help)"),
    ("-", 2, "cannot record to -: pluck records WAV files only, named FILE.wav (see pluck --help)"),
    ("keys.wav", 2, "cannot record to keys.wav: it is standard input, where the keys are read (see pluck --help)"),
    ("old.wav", 1, "cannot write old.wav: old.wav.part already exists, perhaps a take kept from an earlier run; "
                   "play it, rename it or remove it first"),
    ("sticky/theirs.wav", 1, "cannot write sticky/theirs.wav: it is another user's, in a folder whose sticky bit "
                             "lets only its owner replace it"),
])
def test_a_refusal_is_one_line_and_leaves_every_file_as_it_was(folder, name, status, says):
    for file, content in (("keys.wav", b"zx"), ("old.wav", EARLIER), ("old.wav.part", EARLIER)):
        (folder / file).write_bytes(content)
    (folder / "sticky").mkdir(0o1777)
    (folder / "sticky").chmod(0o1777)
    (folder / "sticky" / "theirs.wav").write_bytes(EARLIER)
    (folder / "sticky" / "theirs.wav").chmod(0o666)
    if name.startswith("sticky"):
        if os.getuid() != 0:
            pytest.skip("needs root, to make another user's file")
        os.chown(folder / "sticky" / "theirs.wav", NOBODY, NOBODY)
    before = {p: p.read_bytes() for p in folder.rglob("*") if p.is_file()}
    as_user = {"user": NOBODY - 1, "group": NOBODY - 1, "extra_groups": []} if name.startswith("sticky") else {}
    with open(folder / "keys.wav") as keys:
        run = subprocess.run([PLUCK, "--record", name], cwd=folder, stdin=keys, capture_output=True, text=True,
                             timeout=10, **as_user)
    assert (run.returncode, run.stdout, run.stderr) == (status, "", "pluck: " + says + "\n")
    assert {p: p.read_bytes() for p in folder.rglob("*") if p.is_file()} == before
