"""The release build for the measuring scripts, configured and brought up to date."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The private sound server and the pseudo-terminal are the tests' own.
sys.path.insert(0, os.path.join(ROOT, "tests"))


def build_dir(*targets):
    """The build folder (PLUCK_BUILD, by default build/release), with `targets` built."""
    build = os.environ.get("PLUCK_BUILD", os.path.join(ROOT, "build", "release"))
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        subprocess.run(["cmake", "--preset", "release", "-B", build], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", *targets], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    return build
