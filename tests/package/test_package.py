"""The Debian package as `cpack -G DEB` makes it from the build under test:
it declares what the programs need, and its programs run from where it puts
them, both manual pages render and its pluck-render plays the example score
to the pinned bits. A package for this machine is installed into a scratch
root; one for another processor (arm64) is unpacked there, its programs run
under the emulator."""
import os
import subprocess

from conftest import BUILD, EMULATOR
from harness.sound import fnv1a, read_float_wav
from pluck_render.test_pluck_render import DEMO_DIGEST


def test_debian_package_installs_programs_pages_and_readme(tmp_path):
    subprocess.run(["cpack", "-G", "DEB", "-B", str(tmp_path / "out"), "--config",
                    os.path.join(BUILD, "CPackConfig.cmake")], check=True, capture_output=True)
    (deb,) = [p for p in (tmp_path / "out").iterdir() if p.suffix == ".deb"]
    info = subprocess.run(["dpkg-deb", "-f", str(deb), "Package", "Architecture", "Depends"], check=True,
                          capture_output=True, text=True).stdout
    for library in ("libasound2", "libsndfile1", "libstdc++6", "libc6"):
        assert library + " (>=" in info, info
    root = tmp_path / "root"
    if EMULATOR:
        assert "Architecture: arm64" in info and deb.name.endswith("_arm64.deb"), info
        subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    else:
        (root / "var/lib/dpkg/updates").mkdir(parents=True)
        (root / "var/lib/dpkg/info").mkdir()
        (root / "var/lib/dpkg/status").touch()
        # The dependencies are the running system's, not the scratch root's.
        subprocess.run(["dpkg", "--root", str(root), "--force-depends", "--force-not-root",
                        "--force-script-chrootless", "-i", str(deb)], check=True, capture_output=True)
    for name in ("pluck", "pluck-render"):
        run = subprocess.run(EMULATOR + [str(root / "usr/bin" / name), "--version"], capture_output=True, text=True)
        assert run.returncode == 0 and run.stdout.startswith(name + " "), run
        page = subprocess.run(["man", "-l", str(root / "usr/share/man/man1" / (name + ".1"))],
                              env=dict(os.environ, MANWIDTH="80"), capture_output=True, text=True)
        assert page.returncode == 0 and "EXIT STATUS" in page.stdout and "EXAMPLES" in page.stdout
        assert "@" not in page.stdout, "a placeholder was left in the page"
    doc = root / "usr/share/doc/pluck"
    assert (doc / "README.md").stat().st_size > 0
    render = subprocess.run(EMULATOR + [str(root / "usr/bin/pluck-render"), str(doc / "demo.score"), "-o",
                                        str(tmp_path / "demo.wav")], capture_output=True)
    assert render.returncode == 0, render.stderr
    assert fnv1a(read_float_wav(str(tmp_path / "demo.wav"))[0].tobytes()) == DEMO_DIGEST
