// The progress of a long render, drawn on standard error when that is a
// terminal: one line, redrawn in place, that always fits the terminal's
// width (read again at every redraw, so a resized terminal is followed).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pluck {

struct Progress {
    bool on_terminal = false;
    int64_t total_frames = -1;  // -1 while the length is not known
    bool shown = false;
    size_t drawn_width = 0;  // of the line on the screen
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point last_drawn;
};

// Starts timing a render of `total_frames` (-1: not known yet).
void start_progress(Progress& progress, int64_t total_frames);

// Redraws now and then, once the render has run for a second.
void update_progress(Progress& progress, int64_t frames_done);

// Leaves the cursor at the start of a fresh line; a complete render is shown
// as finished.
void end_progress(Progress& progress, int64_t frames_done, bool complete);

// The line for `done` of `total` frames (-1: not known) in at most `width`
// columns: "[#####-----]  50%  2:30 of 5:00", with a shorter bar, or none,
// where that does not fit; "2:30 rendered" when the length is not known.
std::string progress_line(int64_t done, int64_t total, int width);

}  // namespace pluck
