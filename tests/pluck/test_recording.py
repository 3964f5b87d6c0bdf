"""pluck --record as a player counts on it: the take is on the disk while it
is played (FILE.part, a valid WAV file whose sizes are never a second
behind), takes its name complete when pluck quits, survives a kill, keeps
what fit when the disk is full; names it cannot record to are refused before
anything plays. On PulseAudio (tests/harness/pulse.py), in a real
pseudo-terminal (tests/harness/terminal.py) or fed by a pipe."""
import os
import resource
import select
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


def frames_on_disk(path):
    """The frames libsndfile reads from the file as it is now."""
    samples, (channels, rate) = sound.read_sound_file(str(path))
    return len(samples) // channels


def heard_s(recording):
    return sum(1 for x in recording.frames()[0::2] if x != 0.0) / RATE


# V typed at the start, heard for two seconds, then Escape or a SIGKILL. By
# then the .part holds all that was heard but the last second. Quit,
# the take replaces the earlier file whole: every sounding frame the server
# played, to the last, and nothing else. Killed, the .part keeps the take
# and the earlier file is untouched. (That the sound is what pluck-render
# makes of it, test_pluck_program.py checks.)
@pytest.mark.parametrize("name, ending", [("take.wav", b"\x1b"), ("Take.WAV", signal.SIGKILL)])
def test_the_take_is_on_the_disk_while_it_is_played(server, tmp_path, name, ending):
    take, part = tmp_path / name, tmp_path / (name + ".part")
    take.write_bytes(EARLIER)
    heard = server.record()
    t = Terminal([PLUCK, "--record", str(take)], env=dict(server.env, TERM="xterm"), typed_first=b"v")
    try:
        t.wait_for(SESSION_READY)
        t.wait_for(lambda: heard_s(heard) >= 2.0)
        played = heard_s(heard)
        assert frames_on_disk(part) >= (played - 1.0) * RATE and take.read_bytes() == EARLIER
        t.child.kill(ending) if ending == signal.SIGKILL else t.send(ending)
        assert t.exit_status() == (-ending if ending == signal.SIGKILL else 0)
    finally:
        t.close()
    server_sound = [x for x in heard.stop() if x != 0.0]
    kept = part if ending == signal.SIGKILL else take
    assert set(os.listdir(tmp_path)) == {name, kept.name}
    recorded = sound.read_float_wav(str(kept))[0]
    assert frames_on_disk(kept) == len(recorded) // 2 >= (played - 1.0) * RATE
    sounding = [x for x in recorded if x != 0.0]
    assert sounding == server_sound[:len(sounding)] and (kept == part or len(sounding) == len(server_sound))


# A file limit (as a full disk) met 2.8 s into the take, part way through a
# frame: said at once in one line; the .part is a valid WAV file of the
# whole frames that fit; the instrument plays on; at the end the take is
# said to be incomplete, status 1, and the earlier file is untouched. (The
# sound goes through the server's socket: the limit would refuse the file
# of its shared memory.)
def test_a_full_disk_is_said_at_once_and_the_take_keeps_what_fit(server, tmp_path):
    take, part = tmp_path / "take.wav", tmp_path / "take.wav.part"
    take.write_bytes(EARLIER)
    (tmp_path / "client.conf").write_text("enable-shm = no\n")
    limit, fit = 1000003, (1000003 - 58) // 8

    def limit_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    with subprocess.Popen([PLUCK, "--record", str(take)], stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=dict(server.env, PULSE_CLIENTCONFIG=str(tmp_path / "client.conf")),
                          preexec_fn=limit_files, restore_signals=False, stdout=subprocess.DEVNULL) as child:
        child.stdin.write(b"v")
        child.stdin.flush()
        assert select.select([child.stderr], [], [], 15)[0], "nothing said"
        assert child.stderr.readline().decode() == "pluck: cannot write %s: File too large; %s keeps the " \
            "first %.1f s of the take, the rest is not recorded\n" % (take, part, fit / RATE)
        assert os.path.getsize(part) == 58 + 8 * fit and frames_on_disk(part) == fit
        assert child.poll() is None, "the instrument stopped"
        child.stdin.close()
        assert child.wait(15) == 1 and child.stderr.read().decode() == "pluck: the take is incomplete: %s holds " \
                                                   "its first %.1f s, all that could be written\n" % (part, fit / RATE)
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
def test_a_refusal_is_one_line_and_leaves_every_file_as_it_was(name, status, says):
    if "sticky" in name and os.getuid() != 0:
        pytest.skip("needs root, to make another user's file")
    with tempfile.TemporaryDirectory(dir="/tmp") as folder:
        folder = Path(folder)
        folder.chmod(0o755)
        (folder / "sticky").mkdir()
        (folder / "sticky").chmod(0o1777)
        for file in ("keys.wav", "old.wav", "old.wav.part", "sticky/theirs.wav"):
            (folder / file).write_bytes(EARLIER)
            (folder / file).chmod(0o666)
        as_user = {"user": NOBODY - 1, "group": NOBODY - 1, "extra_groups": []} if "sticky" in name else {}
        if as_user:
            os.chown(folder / "sticky/theirs.wav", NOBODY, NOBODY)
        before = {p: p.read_bytes() for p in folder.rglob("*") if p.is_file()}
        with open(folder / "keys.wav") as keys:
            run = subprocess.run([PLUCK, "--record", name], cwd=folder, stdin=keys, capture_output=True, text=True,
                                 timeout=10, **as_user)
        assert (run.returncode, run.stdout, run.stderr) == (status, "", "pluck: " + says + "\n")
        assert {p: p.read_bytes() for p in folder.rglob("*") if p.is_file()} == before
