#include "pluck_render/progress.h"

#include <algorithm>
#include <cstdio>

#include "engine/tuning.h"
#include "system/console.h"

namespace pluck {

namespace {

// The bar appears only for a render that runs longer than this, and is
// redrawn at most this often.
constexpr auto progress_delay = std::chrono::milliseconds(1000);
constexpr auto progress_interval = std::chrono::milliseconds(100);
// Widest bar, and the narrowest worth drawing.
constexpr int max_bar_width = 30;
constexpr int min_bar_width = 5;

std::string minutes_seconds(int64_t frames) {
    const int64_t seconds = frames / sample_rate_hz;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

void draw(Progress& progress, int64_t frames_done) {
    // Never the last column: some terminals wrap as soon as it is written.
    const int width = stderr_terminal_columns() - 1;
    std::string line = progress_line(frames_done, progress.total_frames, width);
    const size_t width_used = line.size();
    // Spaces over what is left of a longer line drawn before.
    line.resize(std::clamp(progress.drawn_width, line.size(), static_cast<size_t>(std::max(width, 0))), ' ');
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    progress.drawn_width = width_used;
    progress.shown = true;
}

}  // namespace

std::string progress_line(int64_t done, int64_t total, int width) {
    std::string line;
    if (total < 0) {
        line = minutes_seconds(done) + " rendered";
    } else {
        const int64_t percent = total > 0 ? std::min(done, total) * 100 / total : 100;
        char numbers[64];
        std::snprintf(numbers, sizeof numbers, "%3lld%%  %s of %s", static_cast<long long>(percent),
                      minutes_seconds(done).c_str(), minutes_seconds(total).c_str());
        line = numbers;
        const int bar_width = std::min(max_bar_width, width - static_cast<int>(line.size()) - 3);
        if (bar_width >= min_bar_width) {
            const int64_t filled = total > 0 ? std::min(done, total) * bar_width / total : bar_width;
            std::string bar(static_cast<size_t>(filled), '#');
            bar.resize(static_cast<size_t>(bar_width), '-');
            line = "[" + bar + "] " + line;
        }
    }
    line.resize(std::min(line.size(), static_cast<size_t>(std::max(width, 0))));
    return line;
}

void start_progress(Progress& progress, int64_t total_frames) {
    progress = Progress{};
    progress.on_terminal = stderr_terminal_columns() > 0;
    progress.total_frames = total_frames;
    progress.start = std::chrono::steady_clock::now();
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
    progress.last_drawn = now;
    draw(progress, frames_done);
}

void end_progress(Progress& progress, int64_t frames_done, bool complete) {
    if (!progress.shown) {
        return;
    }
    if (complete) {
        progress.total_frames = frames_done;
        draw(progress, frames_done);
    }
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace pluck
