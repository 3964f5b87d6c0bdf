"""Fixtures shared by the Python system tests (run by CTest through pytest)."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness.pulse import SERVERS, start_server  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("PLUCK_BUILD_DIR", os.path.join(ROOT, "build", "release"))


@pytest.fixture(params=SERVERS)
def pulse(request):
    """A fresh private sound server for each test, each test run against
    each server by each of ALSA's routes to it: PulseAudio, and PipeWire
    through pipewire-pulse and through its own ALSA plugin. PipeWire runs
    at real-time priority, as rtkit gives it on a desktop: at ordinary
    priority it loses sound on a busy machine even with the default ring."""
    with start_server(request.param, realtime=request.param != "pulseaudio") as server:
        yield server


# In a build for another processor, the emulator that runs its programs.
EMULATOR = [os.path.join(BUILD, "emulated", "run")] if os.path.exists(os.path.join(BUILD, "emulated")) else []


def program(name):
    """A program of the build under test (PLUCK_BUILD_DIR, by default the
    release build); in a build for another processor, its launcher that runs
    it under the emulator."""
    launcher = os.path.join(BUILD, "emulated", name)
    if os.path.exists(launcher):
        return launcher
    path = {"pluck": "pluck/pluck", "pluck-render": "pluck_render/pluck-render",
            "audio_output_pulse_tests": "tests/audio/audio_output_pulse_tests"}[name]
    return os.path.join(BUILD, path)
