// Plays a score on the instrument in audio time, as fast as it computes,
// with every pluck landing on the exact frame of its millisecond.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "control/play_session.h"
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

// A score being played: events go in as they are read, frames come out in
// chunks, so a render of any length needs only this much memory.
struct ScoreRender {
    PlaySession session;
    FrameSink sink{};
    std::vector<float> chunk;
    int64_t filled = 0;  // frames waiting in `chunk`
};

// Puts the instrument back to its start-up state and starts a render at 0 ms.
// Never while an audio thread runs.
void start_score_render(ScoreRender& r, FrameSink sink);

// Renders every frame before millisecond `ms`, handing full chunks to the
// sink. False if the sink stopped the render.
bool render_until_ms(ScoreRender& r, int64_t ms);

// Plays `event` at the render's current millisecond (the one render_until_ms
// reached): a note key plucks once there, Space holds from there on.
void play_score_event(ScoreRender& r, const ScoreEvent& event);

// Hands the frames still waiting to the sink. False if the sink refused them.
bool finish_score_render(ScoreRender& r);

// The last event's time plus the tail; just the tail for no events.
int64_t default_render_length_ms(std::span<const ScoreEvent> events);

// Plays `events` (times never decreasing) for `length_ms` milliseconds and
// hands exactly frame_at_ms(length_ms) frames to `sink`. Events at or after
// `length_ms` are not played. Returns false if the sink stopped the render.
// Leaves the instrument's state as the render ended, for inspection.
bool render_score(std::span<const ScoreEvent> events, int64_t length_ms, FrameSink sink);

}  // namespace pluck
