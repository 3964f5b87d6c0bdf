// pluck-render SCORE -o OUT [--length MS]: plays a score of key presses on
// the instrument offline and writes the sound to a WAV or FLAC file.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "play/milliseconds.h"
#include "play/score.h"
#include "play/score_render.h"
#include "pluck_render/progress.h"
#include "pluck_render/score_input.h"
#include "sound_files/output_file.h"
#include "sound_files/sound_file.h"
#include "system/command_line.h"
#include "system/console.h"
#include "system/exit_status.h"
#include "system/stop_signals.h"

namespace pluck {

namespace {

constexpr const char* render_help_text =
    "usage: pluck-render SCORE -o OUT [--length MS]\n"
    "Plays a score of key presses on the instrument and writes the sound to a file.\n"
    "  SCORE            lines of `<time_ms> <action>`, action z x c v b n m k, space-down\n"
    "                   or space-up, # for comments; - reads standard input as it comes\n"
    "  -o, --output OUT OUT.wav (32-bit float, exact) or OUT.flac (24-bit, clipped to +-1)\n"
    "  --length MS      milliseconds to render (default: the last event's time + 3000)\n"
    "  -h, --help       this text\n"
    "  --version        the program's version\n"
    "Exit status: 0 written, 1 a file could not be read or written, 2 a bad command\n"
    "line or score line.\n";

// Bytes of the score read at once.
constexpr size_t input_block_bytes = 65536;

// ---------------------------------------------------------------- arguments

struct Arguments {
    std::string score_path;
    std::string output_path;
    int64_t length_ms = -1;  // -1: from the score
};

enum OptionId { option_output, option_length, option_help, option_version };

constexpr CommandLineOption known_options[] = {
    {option_output, "output", 'o', true},
    {option_length, "length", 0, true},
    {option_help, "help", 'h', false},
    {option_version, "version", 0, false},
};

int usage_error(const std::string& message) {
    return say_usage_error("pluck-render", message);
}

// Reads the command line into `args`, and answers --help and --version as
// soon as they come. Returns -1 to render, else the status to exit with
// once the help, the version or a message has been printed.
int parse_arguments(int argc, const char* const* argv, Arguments& args) {
    // As the C library's getopt_long reads them: long options may be
    // shortened, short ones grouped, and operands come anywhere.
    const CommandLineRead read = read_command_line(argc, argv, {known_options, true, true});
    std::vector<std::string_view> scores;
    for (const CommandLineItem& item : read.items) {
        const int id = item.option != nullptr ? item.option->id : -1;
        if (id == option_help) {
            std::fputs(render_help_text, stdout);
            return end_standard_output("pluck-render");
        }
        if (id == option_version) {
            std::puts("pluck-render " PLUCK_VERSION);
            return end_standard_output("pluck-render");
        }
        if (id == option_output) {
            args.output_path = item.text;
        } else if (id == option_length &&
                   read_milliseconds(item.text, max_score_time_ms, args.length_ms) != MillisecondsRead::ok) {
            return usage_error("bad --length \"" + std::string(item.text) +
                               "\": expected a whole number of milliseconds, 0 to " +
                               std::to_string(max_score_time_ms));
        } else if (id == -1) {
            scores.push_back(item.text);
        }
    }
    if (!read.error.empty()) {
        return usage_error(read.error);
    }
    if (scores.empty()) {
        return usage_error("no score given");
    }
    if (scores.size() > 1) {
        return usage_error("more than one score given");
    }
    args.score_path = scores[0];
    if (args.output_path.empty()) {
        return usage_error("no output file given (-o OUT)");
    }
    return -1;
}

// ---------------------------------------------------------------- render

struct Job {
    ScoreInput input;
    OutputFile output;
    SoundFileWriter sound;
    ScoreReader reader;
    ScoreRender render;
    Progress progress;
    std::vector<char> block = std::vector<char>(input_block_bytes);
    FileLimit limit;
};

enum class Outcome { complete, bad_line, too_long, failed, stopped };

bool write_chunk(const float* samples, int64_t frames, void* context) {
    Job& job = *static_cast<Job*>(context);
    if (stop_signal() != 0 || !write_sound_frames(job.sound, samples, frames)) {
        return false;
    }
    update_progress(job.progress, job.sound.frames_written);
    return true;
}

// Reads the whole score with `reader`, handing each event to `on_event`
// (which returns false to give up) as soon as its line is complete.
template <typename OnEvent>
Outcome read_score(Job& job, ScoreReader& reader, OnEvent on_event) {
    ScoreRead read = ScoreRead::need_input;
    while (read == ScoreRead::need_input) {
        const int64_t got = read_score_input(job.input, job.block.data(), job.block.size());
        if (stop_signal() != 0) {
            return Outcome::stopped;
        }
        if (got < 0) {
            if (!job.input.error.empty()) {
                return Outcome::failed;
            }
            continue;  // a signal that does not stop the render
        }
        std::string_view bytes(job.block.data(), static_cast<size_t>(got));
        ScoreEvent event;
        auto next = [&] {
            return got == 0 ? finish_score(reader, event) : read_score_event(reader, bytes, event);
        };
        for (read = next(); read == ScoreRead::event; read = next()) {
            if (!on_event(event)) {
                return stop_signal() != 0             ? Outcome::stopped
                       : job.limit.too_long_line != 0 ? Outcome::too_long
                                                      : Outcome::failed;
            }
        }
    }
    return read == ScoreRead::end ? Outcome::complete : Outcome::bad_line;
}

// The length of a score read from a file, read once ahead to refuse a
// render too long for the file before any of it is made, and to show how
// far the render has got; -1 if it cannot be known.
int64_t length_read_ahead(Job& job) {
    if (job.input.start_offset < 0) {
        return -1;
    }
    ScoreReader ahead;
    const Outcome outcome = read_score(
        job, ahead, [&](const ScoreEvent& event) { return ring_out_fits_file(job.limit, ahead, event); });
    // Read again from the start whatever happened: the render itself reports
    // a bad line, a read error or a signal.
    job.input.error.clear();
    if (!rewind_score_input(job.input) || stop_signal() != 0) {
        return -1;
    }
    return outcome == Outcome::complete ? default_render_length_ms(ahead) : -1;
}

Outcome render_score(Job& job) {
    // A score from a pipe is checked as it streams: the file holds every
    // frame up to the event that would carry it too far.
    Outcome outcome = read_score(job, job.reader, [&job](const ScoreEvent& event) {
        return ring_out_fits_file(job.limit, job.reader, event) && render_score_event(job.render, event);
    });
    if (outcome == Outcome::complete && !end_score_render(job.render, job.reader)) {
        outcome = stop_signal() != 0 ? Outcome::stopped : Outcome::failed;
    }
    if (outcome == Outcome::complete && !finish_sound_file(job.sound)) {
        outcome = Outcome::failed;
    }
    // The last moment to stop: after this the file takes its name.
    if (outcome == Outcome::complete && stop_signal() != 0) {
        outcome = Outcome::stopped;
    }
    if (outcome == Outcome::complete && !commit_output_file(job.output)) {
        outcome = Outcome::failed;
    }
    return outcome;
}

// What went wrong first: writing says why, else encoding, else reading.
const std::string& failure_reason(const Job& job) {
    return !job.output.error.empty() ? job.output.error
                                     : (!job.sound.error.empty() ? job.sound.error : job.input.error);
}

int run(int argc, char** argv) {
    const bool input_was_closed = fill_closed_standard_streams();
    use_utf8_arguments(argc, argv);
    Arguments args;
    if (const int status = parse_arguments(argc, argv, args); status >= 0) {
        return status;
    }
    SoundFileFormat format{};
    if (!sound_file_format_for_path(args.output_path, format)) {
        return usage_error("cannot tell the format of " + args.output_path +
                           ": its name must end in .wav or .flac");
    }
    if (const char* reason = sound_file_format_unavailable(format)) {
        return usage_error("cannot write " + args.output_path + ": " + reason);
    }
    if (args.length_ms >= 0 && frame_at_ms(args.length_ms) > max_sound_file_frames(format)) {
        return usage_error("a render of " + std::to_string(args.length_ms) +
                           " ms is too long for a WAV file" + longer_render_advice());
    }
    if (args.score_path == "-" && input_was_closed) {
        std::fputs("pluck-render: cannot read (standard input): it is closed\n", stderr);
        return exit_failure;
    }

    Job job;
    if (!open_score_input(job.input, args.score_path)) {
        std::fprintf(stderr, "pluck-render: %s\n", job.input.error.c_str());
        return exit_failure;
    }
    catch_stop_signals();
    if (!open_output_file(job.output, args.output_path, job.input.fd) ||
        !start_sound_file(job.sound, output_file_sink(job.output), format, args.output_path)) {
        std::fprintf(stderr, "pluck-render: %s\n", failure_reason(job).c_str());
        abandon_sound_file(job.sound);
        discard_output_file(job.output);
        return exit_failure;
    }
    start_progress(job.progress, -1);
    job.limit = file_limit_for(args.length_ms, max_sound_file_frames(format));
    const int64_t length_ms = args.length_ms >= 0 ? args.length_ms : length_read_ahead(job);
    if (job.progress.on_terminal) {
        job.progress.total_frames = length_ms >= 0 ? frame_at_ms(length_ms) : -1;
    }
    start_score_render(job.render, FrameSink{write_chunk, &job}, args.length_ms);

    const Outcome outcome = job.limit.too_long_line != 0 ? Outcome::too_long : render_score(job);
    end_progress(job.progress, job.sound.frames_written, outcome == Outcome::complete);
    if (outcome != Outcome::complete) {
        abandon_sound_file(job.sound);
        discard_output_file(job.output);
    }
    switch (outcome) {
        case Outcome::complete:
            break;
        case Outcome::bad_line:
            std::fprintf(stderr, "%s:%lld: %s\n", job.input.name.c_str(),
                         static_cast<long long>(job.reader.error_line), job.reader.error.c_str());
            return exit_usage;
        case Outcome::too_long:
            std::fprintf(stderr,
                         "pluck-render: a render of %lld ms (to %lld ms after the event at %s:%lld) is too "
                         "long for a WAV file%s\n",
                         static_cast<long long>(job.limit.too_long_ms),
                         static_cast<long long>(render_tail_ms), job.input.name.c_str(),
                         static_cast<long long>(job.limit.too_long_line), longer_render_advice());
            return exit_usage;
        case Outcome::failed:
            std::fprintf(stderr, "pluck-render: %s\n", failure_reason(job).c_str());
            return exit_failure;
        case Outcome::stopped:
            std::fprintf(stderr, "pluck-render: stopped; %s not written\n", args.output_path.c_str());
            end_by_stop_signal();
    }
    if (job.render.unplayed > 0) {
        std::fprintf(
            stderr,
            "pluck-render: %lld event(s) at or after %lld ms, the end of the render, are not played\n",
            static_cast<long long>(job.render.unplayed), static_cast<long long>(job.render.length_ms));
    }
    if (format == SoundFileFormat::flac_24) {
        std::fprintf(stderr, "pluck-render: %lld of %lld samples clipped to [-1, 1]\n",
                     static_cast<long long>(job.sound.clipped_samples),
                     static_cast<long long>(job.sound.frames_written * channel_count));
    }
    return exit_ok;
}

}  // namespace

}  // namespace pluck

int main(int argc, char** argv) {
    return pluck::run(argc, argv);
}
