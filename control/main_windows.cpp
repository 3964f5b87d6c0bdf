// pluck for Windows: a plucked-string instrument played from the keyboard.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "audio/audio_output.h"
#include "control/clock.h"
#include "control/console_windows.h"
#include "control/keyboard_windows.h"
#include "control/main_loop_windows.h"
#include "control/note_keys.h"
#include "control/options.h"
#include "control/recording.h"
#include "engine/render.h"
#include "tools/console.h"

int main(int argc, char** argv) {
    // The same bytes as on Linux: no carriage returns added. A console
    // starts a new line at a line feed all the same. Names in the
    // arguments (a recording's, a device's) come in UTF-8.
    pluck::fill_closed_standard_streams();
    pluck::use_utf8_arguments(argc, argv);
    _setmode(_fileno(stdout), _O_BINARY);
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
    const std::atomic<bool>& quit = pluck::watch_console_quit();
    auto handle = pluck::start_audio(recording ? pluck::render_and_record : pluck::render_audio,
                                     pluck::audio_settings(options));
    std::fputs(pluck::usage_text, stdout);
    std::fflush(stdout);
    if (handle != nullptr) {
        pluck::run_main_loop(pluck::system_keys(), pluck::system_clock(), pluck::system_pause(), quit);
        pluck::stop_audio(handle);
        pluck::flush_console_input();
    }
    return recording ? pluck::finish_recording_and_report(options.record_path) : pluck::exit_ok;
}
