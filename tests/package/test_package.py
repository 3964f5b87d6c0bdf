"""The Debian package as `cpack -G DEB` makes it from the build under test:
it declares what the programs need, its programs run from where it puts
them, both manual pages render, and the README and the example score are
there. A package for this machine is installed into a scratch root; one for
another processor (arm64) is unpacked there, its programs run under the
emulator. (The programs' bits are pinned by their own tests.)"""
import os
import subprocess

from conftest import BUILD, EMULATOR, ROOT


def test_debian_package_installs_programs_pages_and_readme(tmp_path):
    def run(*argv, **options):
        return subprocess.run(argv, check=True, capture_output=True, text=True, **options).stdout

    run("cpack", "-G", "DEB", "-B", str(tmp_path), "--config", os.path.join(BUILD, "CPackConfig.cmake"))
    (deb,) = tmp_path.glob("*.deb")
    info = run("dpkg-deb", "-f", str(deb), "Package", "Architecture", "Depends")
    for library in ("libasound2", "libsndfile1", "libstdc++6", "libc6"):
        assert library + " (>=" in info, info
    root = tmp_path / "root"
    if EMULATOR:
        assert "Architecture: arm64" in info and deb.name.endswith("_arm64.deb"), info
        run("dpkg-deb", "-x", str(deb), str(root))
    else:
        for part in ("updates", "info"):
            (root / "var/lib/dpkg" / part).mkdir(parents=True)
        (root / "var/lib/dpkg/status").touch()
        # The dependencies are the running system's, not the scratch root's.
        run("dpkg", "--root", str(root), "--force-depends", "--force-not-root", "--force-script-chrootless",
            "-i", str(deb))
    for name in ("pluck", "pluck-render"):
        assert run(*EMULATOR, str(root / "usr/bin" / name), "--version").startswith(name + " ")
        page = run("man", "-l", str(root / "usr/share/man/man1" / (name + ".1")), env=dict(os.environ, MANWIDTH="80"))
        assert "EXIT STATUS" in page and "EXAMPLES" in page and "@" not in page, "a placeholder left in the page"
    doc = root / "usr/share/doc/pluck"
    assert (doc / "README.md").stat().st_size > 0
    assert (doc / "demo.score").read_bytes() == open(os.path.join(ROOT, "examples/demo.score"), "rb").read()
