// Plays a score on the instrument in virtual time, as fast as it computes,
// with every pluck landing on the exact frame of its millisecond.
#pragma once

#include <cstdint>
#include <span>

#include "engine/tuning.h"
#include "tools/score.h"

namespace pluck {

// Where rendered frames go, one chunk at a time, in order.
struct FrameSink {
    // Takes `frames` interleaved stereo frames (2 * frames floats) that are
    // valid only during the call. Returns false to stop the render there.
    bool (*write)(const float* samples, int64_t frames, void* context);
    void* context;
};

// Frames handed to the sink at once (the last chunk may be shorter).
constexpr int64_t render_chunk_frames = 8192;
// Silence left after the last event when no length is asked for: time for
// the strings and the reverb to ring out.
constexpr int64_t render_tail_ms = 3000;

// The first frame of millisecond `ms`: floor(ms * 44100 / 1000).
constexpr int64_t frame_at_ms(int64_t ms) {
    return ms * sample_rate_hz / 1000;
}

// The last event's time plus the tail; just the tail for no events.
int64_t default_render_length_ms(std::span<const ScoreEvent> events);

// Puts the instrument back to its start-up state and plays `events` (times
// never decreasing) for `length_ms` virtual milliseconds, handing exactly
// frame_at_ms(length_ms) frames to `sink`. For each millisecond m: the
// frames before frame_at_ms(m) are rendered, then one pass of the main loop
// runs at m. Space is down at m if the last Space event at or before m is
// `space-down`, and then the auto-play steps with its clock reading m; each
// note key pressed at exactly m plucks once, in key-table order. Events at or
// after `length_ms` are not played. Returns false if the sink stopped the
// render. Leaves the instrument's state as the render ended, for inspection.
// Never while an audio thread runs.
bool render_score(std::span<const ScoreEvent> events, int64_t length_ms, FrameSink sink);

}  // namespace pluck
