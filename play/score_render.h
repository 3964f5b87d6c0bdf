// Plays a score on the instrument in audio time, as fast as it computes,
// with every pluck landing on the exact frame of its millisecond.
#pragma once

#include <cstdint>
#include <vector>

#include "play/play_session.h"
#include "play/score.h"

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
    // Where the render ends: as asked for, or -1 for the last event's time
    // plus render_tail_ms, known at the end of the score.
    int64_t length_ms = -1;
    int64_t unplayed = 0;  // events at or after length_ms
};

// Puts the instrument back to its start-up state and starts a render at 0 ms
// of `length_ms` (-1: to be known at the end). Never while an audio thread
// runs.
void start_score_render(ScoreRender& r, FrameSink sink, int64_t length_ms);

// Renders the frames up to `event` (whose time is never earlier than the
// one before) and plays it there: a note key plucks once, Space holds from
// there on. An event at or after the end of the render is counted, not
// played. False if the sink stopped the render.
bool render_score_event(ScoreRender& r, const ScoreEvent& event);

// Renders to the end, for a render of no asked-for length the last event
// `reader` read plus the tail, and hands every frame still waiting to the
// sink: exactly frame_at_ms(length_ms) frames in all. False if the sink
// stopped the render. Leaves the instrument's state as the render ended.
bool end_score_render(ScoreRender& r, const ScoreReader& reader);

// The length of a render with no length asked for: the last event's time
// `reader` has read plus the tail; just the tail before any event.
int64_t default_render_length_ms(const ScoreReader& reader);

// What a render's file can hold, for a render with no length asked for,
// which grows with each event to render_tail_ms past it: the most frames,
// and the first event whose ring-out would pass them. A render of an
// asked-for length is checked against the file before it starts.
struct FileLimit {
    int64_t max_frames = INT64_MAX;
    int64_t too_long_line = 0;  // that event's line (0: none yet)
    int64_t too_long_ms = 0;    // the render's length to the end of its ring-out
};

// The limit for a render of `length_ms` (-1: to the last event plus the
// tail) into a file of at most `max_frames` frames.
FileLimit file_limit_for(int64_t length_ms, int64_t max_frames);

// False for an event just read by `reader` whose ring-out would carry the
// render past what the file can hold, noted in `limit` for the message.
bool ring_out_fits_file(FileLimit& limit, const ScoreReader& reader, const ScoreEvent& event);

}  // namespace pluck
