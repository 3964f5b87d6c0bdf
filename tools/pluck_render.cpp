// pluck-render SCORE -o OUT [--length MS]: plays a score of key presses on
// the instrument offline and writes the sound to a WAV or FLAC file.

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/offline_render.h"
#include "tools/score.h"
#include "tools/sound_file.h"

namespace pluck {

namespace {

constexpr const char* program_name = "pluck-render";
constexpr const char* usage_text =
    "usage: pluck-render SCORE -o OUT [--length MS]\n"
    "  SCORE         lines of `<time_ms> <action>`, action z x c v b n m k, space-down or space-up;\n"
    "                - reads standard input\n"
    "  -o, --output  OUT.wav (32-bit float) or OUT.flac (24-bit)\n"
    "  --length MS   milliseconds to render (default: the last event's time + 3000)\n";

// Exit statuses: a bad command line or a bad score line is the caller's to
// fix (2); a file that cannot be read or written is the system's (1).
constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

// The progress bar appears only for a render that runs longer than this,
// and is redrawn at most this often.
constexpr auto progress_delay = std::chrono::milliseconds(1000);
constexpr auto progress_interval = std::chrono::milliseconds(100);
constexpr int progress_bar_width = 30;

// ---------------------------------------------------------------- signals

// Set by SIGINT, SIGTERM or SIGHUP; the render stops at its next chunk and
// removes its temporary file before the program dies of the signal.
volatile std::sig_atomic_t stop_signal = 0;

void on_stop_signal(int signal_number) {
    stop_signal = signal_number;
}

void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
    }
    // A file-size limit makes the write fail, which is reported and cleaned
    // up, instead of killing the program beside its partial file.
    std::signal(SIGXFSZ, SIG_IGN);
}

// Ends the program the way the signal would have, now that nothing is left
// half-written.
[[noreturn]] void die_of_stop_signal() {
    const int signal_number = stop_signal;
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
    std::_Exit(128 + signal_number);
}

// ---------------------------------------------------------------- arguments

struct Arguments {
    std::string score_path;
    std::string output_path;
    int64_t length_ms = -1;  // -1: from the score
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n%s", program_name, message.c_str(), usage_text);
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

// Returns exit_ok, or the status to exit with after the message printed.
int parse_arguments(int argc, char** argv, Arguments& args) {
    enum { option_length = 256 };
    const option options[] = {
        {"output", required_argument, nullptr, 'o'},
        {"length", required_argument, nullptr, option_length},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c = 0;
    while ((c = getopt_long(argc, argv, "o:h", options, nullptr)) != -1) {
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
            default:  // getopt_long has said what was wrong
                std::fputs(usage_text, stderr);
                return exit_usage;
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

// ---------------------------------------------------------------- input

bool read_score_text(const std::string& path, std::string& text) {
    std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    char block[65536];
    size_t got = 0;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) {
        text.append(block, got);
    }
    const bool ok = std::ferror(file) == 0;
    const int read_errno = errno;
    if (file != stdin) {
        std::fclose(file);
    }
    errno = read_errno;
    return ok;
}

// ---------------------------------------------------------------- progress

struct Progress {
    bool on_terminal = false;
    bool shown = false;
    int64_t total_frames = 0;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point last_drawn;
};

std::string minutes_seconds(int64_t frames) {
    const int64_t seconds = frames / sample_rate_hz;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

void draw_progress(const Progress& progress, int64_t frames_done) {
    const int64_t total = progress.total_frames > 0 ? progress.total_frames : 1;
    const int64_t filled = frames_done * progress_bar_width / total;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(progress_bar_width, '-');
    std::fprintf(stderr, "\r[%s] %3lld%%  %s of %s", bar.c_str(),
                 static_cast<long long>(frames_done * 100 / total), minutes_seconds(frames_done).c_str(),
                 minutes_seconds(progress.total_frames).c_str());
    std::fflush(stderr);
}

void update_progress(Progress& progress, int64_t frames_done) {
    if (!progress.on_terminal) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - progress.start < progress_delay ||
        (progress.shown && now - progress.last_drawn < progress_interval)) {
        return;
    }
    progress.shown = true;
    progress.last_drawn = now;
    draw_progress(progress, frames_done);
}

// Leaves the cursor at the start of a fresh line.
void end_progress(const Progress& progress, bool complete) {
    if (progress.shown) {
        if (complete) {
            draw_progress(progress, progress.total_frames);
        }
        std::fputc('\n', stderr);
    }
}

// ---------------------------------------------------------------- render

struct Output {
    SoundFileWriter writer;
    Progress progress;
    bool write_failed = false;
};

bool write_chunk(const float* samples, int64_t frames, void* context) {
    Output& out = *static_cast<Output*>(context);
    if (stop_signal != 0) {
        return false;
    }
    if (!write_sound_frames(out.writer, samples, frames)) {
        out.write_failed = true;
        return false;
    }
    update_progress(out.progress, out.writer.frames_written);
    return true;
}

int run(int argc, char** argv) {
    Arguments args;
    if (const int status = parse_arguments(argc, argv, args); status != exit_ok) {
        return status;
    }
    SoundFileFormat format{};
    if (!sound_file_format_for_path(args.output_path, format)) {
        return usage_error("cannot tell the format of " + args.output_path +
                           ": its name must end in .wav or .flac");
    }

    const std::string score_name = args.score_path == "-" ? "(standard input)" : args.score_path;
    std::string text;
    if (!read_score_text(args.score_path, text)) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", program_name, score_name.c_str(),
                     std::strerror(errno));
        return exit_failure;
    }
    const ScoreParse score = parse_score(text);
    if (score.error_line != 0) {
        std::fprintf(stderr, "%s:%lld: %s\n", score_name.c_str(), static_cast<long long>(score.error_line),
                     score.error.c_str());
        return exit_usage;
    }

    const int64_t length_ms = args.length_ms >= 0 ? args.length_ms : default_render_length_ms(score.events);
    const int64_t total_frames = frame_at_ms(length_ms);
    if (total_frames > max_sound_file_frames(format)) {
        return usage_error("a render of " + std::to_string(length_ms) +
                           " ms is too long for a WAV file; write a .flac file instead");
    }
    int64_t unplayed = 0;
    for (const ScoreEvent& event : score.events) {
        unplayed += event.time_ms >= length_ms ? 1 : 0;
    }
    if (unplayed > 0) {
        std::fprintf(stderr, "%s: %lld event(s) at or after %lld ms, the end of the render, are not played\n",
                     program_name, static_cast<long long>(unplayed), static_cast<long long>(length_ms));
    }

    catch_stop_signals();
    Output out;
    out.progress.on_terminal = isatty(STDERR_FILENO) != 0;
    out.progress.total_frames = total_frames;
    out.progress.start = std::chrono::steady_clock::now();
    if (!open_sound_file(out.writer, args.output_path, format)) {
        std::fprintf(stderr, "%s: %s\n", program_name, out.writer.error.c_str());
        return exit_failure;
    }

    const bool rendered = render_score(score.events, length_ms, FrameSink{write_chunk, &out});
    if (!rendered || stop_signal != 0 || !finish_sound_file(out.writer)) {
        end_progress(out.progress, false);
        discard_sound_file(out.writer);
        if (stop_signal != 0) {
            std::fprintf(stderr, "%s: stopped; %s not written\n", program_name, args.output_path.c_str());
            die_of_stop_signal();
        }
        std::fprintf(stderr, "%s: %s\n", program_name, out.writer.error.c_str());
        return exit_failure;
    }
    end_progress(out.progress, true);
    if (format == SoundFileFormat::flac_24) {
        std::fprintf(stderr, "%s: %lld of %lld samples clipped to [-1, 1]\n", program_name,
                     static_cast<long long>(out.writer.clipped_samples),
                     static_cast<long long>(total_frames * channel_count));
    }
    return exit_ok;
}

}  // namespace

}  // namespace pluck

int main(int argc, char** argv) {
    return pluck::run(argc, argv);
}
