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
    if (const int status = pluck::answer_without_playing(options); status >= 0) {
        return status;
    }
    const bool recording = !options.record_path.empty();
    if (recording && !pluck::start_recording(options.record_path, error)) {
        std::fprintf(stderr, "pluck: %s\n", error.c_str());
        return pluck::exit_failure;
    }
    auto handle = pluck::start_audio(recording ? pluck::render_and_record : pluck::render_audio,
                                     pluck::audio_settings(options));
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
    return recording ? pluck::finish_recording_and_report(options.record_path) : pluck::exit_ok;
}
