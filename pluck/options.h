// pluck's command line: how much sound is queued ahead of the device, which
// device, a recording of what is played, and the texts that answer --help
// and --version. The same on every system that has a command line.
#pragma once

#include <cstdint>
#include <string>

#include "audio/audio_output.h"
#include "audio/ring_layout.h"
#include "engine/tuning.h"
#include "system/exit_status.h"

namespace pluck {

struct Options {
    bool help = false;
    bool version = false;
    bool list_devices = false;
    int32_t latency_ms = 0;  // 0: not asked for (the default ring)
    std::string device;      // empty: the system's default device
    std::string record_path;

    // What to play with: the default ring unless a latency was asked for.
    RingLayout ring() const {
        return latency_ms > 0 ? ring_for_latency(latency_ms) : RingLayout{};
    }
    // A smaller ring than the default was asked for: the audio thread then
    // asks the system for a higher priority, since a wake-up that comes a
    // few milliseconds late is then a gap in the sound.
    bool low_latency() const {
        return ring().buffer_frames < buffer_frames;
    }
};

// Reads argv[1..argc-1] in the GNU forms: `--latency 10`, `--latency=10`,
// `-l 10`, `-l10`, `-h`, and `--` ending the options. Returns exit_ok, or
// exit_usage with `error` set to one line (without "pluck: " or a line end)
// for an unknown option, a missing or bad value, or an argument that is no
// option (pluck takes none).
int parse_options(int argc, const char* const* argv, Options& options, std::string& error);

// The whole --help text, ending in a line end.
std::string help_text();

// "pluck VERSION".
const char* version_text();

// What the audio output is to play on, as the options ask. The settings
// point into `options`, which must outlive them.
AudioSettings audio_settings(const Options& options);

// Does what --help, --version and --list-devices ask on standard output and
// returns the exit status; -1 when the options ask to play.
int answer_without_playing(const Options& options);

}  // namespace pluck
