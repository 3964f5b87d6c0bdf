// pluck: a plucked-string instrument played from the terminal.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "audio/audio_output.h"
#include "control/key_decoder.h"
#include "control/main_loop.h"
#include "control/note_keys.h"
#include "control/options.h"
#include "control/recording.h"
#include "control/terminal.h"
#include "engine/render.h"

namespace {

// The parts of the command line that end the program before it plays.
// Returns -1 to go on and play.
int answer_command_line(const pluck::Options& options) {
    if (options.help) {
        std::fputs(pluck::help_text().c_str(), stdout);
        return pluck::exit_ok;
    }
    if (options.version) {
        std::puts(pluck::version_text());
        return pluck::exit_ok;
    }
    if (options.list_devices) {
        for (const pluck::OutputDevice& device : pluck::output_devices()) {
            std::printf("%-24s %s\n", device.name.c_str(), device.description.c_str());
        }
        return pluck::exit_ok;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything opens a file: a closed standard input must not become
    // whatever the sound library opens first.
    pluck::open_standard_descriptors();
    pluck::Options options;
    std::string error;
    if (pluck::parse_options(argc, argv, options, error) != pluck::exit_ok) {
        std::fprintf(stderr, "pluck: %s (see pluck --help)\n", error.c_str());
        return pluck::exit_usage;
    }
    if (const int status = answer_command_line(options); status >= 0) {
        return status;
    }
    const bool recording = !options.record_path.empty();
    if (recording && !pluck::start_recording(options.record_path, error)) {
        std::fprintf(stderr, "pluck: %s\n", error.c_str());
        return pluck::exit_failure;
    }
    pluck::AudioSettings settings;
    if (!options.device.empty()) {
        settings.device_name = options.device.c_str();
    }
    const pluck::RingLayout ring = options.ring();
    settings.ring_buffers = ring.periods;
    settings.buffer_frames = ring.period_frames;
    settings.raise_priority = options.low_latency();

    auto handle = pluck::start_audio(recording ? pluck::render_and_record : pluck::render_audio, settings);
    std::fputs(pluck::usage_text, stdout);
    std::fflush(stdout);
    if (handle != nullptr) {
        pluck::KeyDecoder decoder;
        pluck::Terminal terminal;
        pluck::open_terminal(terminal, 0, decoder, std::getenv("TERM"));
        pluck::run_main_loop(terminal, decoder);
        // The terminal first: the queued sound still plays out after it.
        pluck::close_terminal(terminal);
        pluck::stop_audio(handle);
    }
    if (recording) {
        const pluck::RecordingResult result = pluck::finish_recording();
        if (result.lost_frames > 0) {
            std::fprintf(stderr, "pluck: %lld frames (%.1f s) are missing from %s: the disk fell behind\n",
                         static_cast<long long>(result.lost_frames),
                         static_cast<double>(result.lost_frames) / pluck::sample_rate_hz,
                         options.record_path.c_str());
        }
        if (!result.written) {
            std::fprintf(stderr, "pluck: %s\n", result.error.c_str());
            return pluck::exit_failure;
        }
    }
    return pluck::exit_ok;
}
