#include "pluck/program.h"

#include <cstdio>
#include <string>

#include "engine/render.h"
#include "play/note_keys.h"
#include "pluck/recording.h"
#include "system/command_line.h"
#include "system/exit_status.h"

namespace pluck {

void start_program(Program& program, int argc, const char* const* argv) {
    std::string error;
    if (parse_options(argc, argv, program.options, error) != exit_ok) {
        program.exit_status = say_usage_error("pluck", error);
        return;
    }
    if (const int status = answer_without_playing(program.options); status >= 0) {
        program.exit_status = status;
        return;
    }
    const bool recording = !program.options.record_path.empty();
    if (recording && !start_recording(program.options.record_path, error)) {
        std::fprintf(stderr, "pluck: %s\n", error.c_str());
        program.exit_status = exit_failure;
        return;
    }
    program.audio =
        start_audio(recording ? render_and_record : render_audio, audio_settings(program.options));
    std::fputs(key_guide_text, stdout);
    std::fflush(stdout);
}

int end_program(const Program& program) {
    const std::string& path = program.options.record_path;
    return path.empty() ? exit_ok : finish_recording_and_report(path);
}

}  // namespace pluck
