// pluck-render SCORE -o OUT [--length MS]: plays a score of key presses on
// the instrument offline and writes the sound to a WAV or FLAC file.

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "play/score.h"
#include "play/score_render.h"
#include "pluck_render/progress.h"
#include "pluck_render/score_input.h"
#include "sound_files/output_file.h"
#include "sound_files/sound_file.h"
#include "system/console.h"
#include "system/stop_signals.h"

namespace pluck {

namespace {

constexpr const char* usage_text =
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

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

// Bytes of the score read at once.
constexpr size_t input_block_bytes = 65536;

// ---------------------------------------------------------------- arguments

struct Arguments {
    std::string score_path;
    std::string output_path;
    int64_t length_ms = -1;  // -1: from the score
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "pluck-render: %s (see pluck-render --help)\n", message.c_str());
    return exit_usage;
}

bool parse_milliseconds(const char* text, int64_t& ms) {
    if (*text == '\0') {
        return false;
    }
    int64_t value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
        value = value * 10 + (*c - '0');
        if (value > max_score_time_ms) {
            return false;
        }
    }
    ms = value;
    return true;
}

// An option as the user wrote it, without any "=value".
std::string option_as_written(const char* arg) {
    const std::string_view text(arg);
    return std::string(text.substr(0, text.find('=')));
}

// Returns exit_ok, or the status to exit with after the message printed.
int parse_arguments(int argc, char** argv, Arguments& args) {
    enum { option_length = 256, option_version };
    const option options[] = {
        {"output", required_argument, nullptr, 'o'},
        {"length", required_argument, nullptr, option_length},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, option_version},
        {nullptr, 0, nullptr, 0},
    };
    // Our own messages, not getopt's (which begin with the program's path).
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, ":o:h", options, nullptr)) != -1) {
        switch (c) {
            case 'o':
                args.output_path = optarg;
                break;
            case option_length:
                if (!parse_milliseconds(optarg, args.length_ms)) {
                    return usage_error("bad --length \"" + std::string(optarg) +
                                       "\": expected a whole number of milliseconds, 0 to " +
                                       std::to_string(max_score_time_ms));
                }
                break;
            case 'h':
                std::fputs(usage_text, stdout);
                std::exit(exit_ok);
            case option_version:
                std::puts("pluck-render " PLUCK_VERSION);
                std::exit(exit_ok);
            case ':':
                // Some getopt_long()s (MinGW's) report a value given to an
                // option that takes none as a value missing.
                return usage_error("option " + option_as_written(argv[optind - 1]) +
                                   (std::string_view(argv[optind - 1]).find('=') != std::string_view::npos
                                        ? " takes no value"
                                        : " needs a value"));
            default: {
                const std::string written = option_as_written(argv[optind - 1]);
                if (optopt != 0 && written.rfind("--", 0) == 0 && written.size() > 2) {
                    return usage_error("option " + written + " takes no value");
                }
                return usage_error("unknown option " +
                                   (optopt == 0 ? written : "-" + std::string(1, static_cast<char>(optopt))));
            }
        }
    }
    if (optind == argc) {
        return usage_error("no score given");
    }
    if (argc - optind > 1) {
        return usage_error("more than one score given");
    }
    args.score_path = argv[optind];
    if (args.output_path.empty()) {
        return usage_error("no output file given (-o OUT)");
    }
    return exit_ok;
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
};

enum class Outcome { complete, bad_line, failed, stopped };

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
                return stop_signal() != 0 ? Outcome::stopped : Outcome::failed;
            }
        }
    }
    return read == ScoreRead::end ? Outcome::complete : Outcome::bad_line;
}

// The length of a score read from a file, read once ahead only to show how
// far the render has got; -1 if it cannot be known.
int64_t length_read_ahead(Job& job) {
    if (job.input.start_offset < 0) {
        return -1;
    }
    ScoreReader ahead;
    const Outcome outcome = read_score(job, ahead, [](const ScoreEvent&) { return true; });
    // Read again from the start whatever happened: the render itself reports
    // a bad line, a read error or a signal.
    job.input.error.clear();
    if (!rewind_score_input(job.input) || stop_signal() != 0) {
        return -1;
    }
    return outcome == Outcome::complete ? default_render_length_ms(ahead) : -1;
}

Outcome render_score(Job& job) {
    Outcome outcome = read_score(
        job, job.reader, [&job](const ScoreEvent& event) { return render_score_event(job.render, event); });
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
    if (const int status = parse_arguments(argc, argv, args); status != exit_ok) {
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
    if (job.progress.on_terminal) {
        const int64_t length_ms = args.length_ms >= 0 ? args.length_ms : length_read_ahead(job);
        job.progress.total_frames = length_ms >= 0 ? frame_at_ms(length_ms) : -1;
    }
    start_score_render(job.render, FrameSink{write_chunk, &job}, args.length_ms);

    const Outcome outcome = render_score(job);
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
