#include "play/score_render.h"

#include <algorithm>

namespace pluck {

namespace {

// Hands the frames waiting in the chunk to the sink.
bool flush_chunk(ScoreRender& r) {
    const int64_t frames = r.filled;
    r.filled = 0;
    return frames == 0 || r.sink.write(r.chunk.data(), frames, r.sink.context);
}

// Renders every frame before millisecond `ms`, handing full chunks on.
bool render_until_ms(ScoreRender& r, int64_t ms) {
    const int64_t end = frame_at_ms(ms);
    while (r.session.frames_rendered < end) {
        const int64_t frames = std::min(end - r.session.frames_rendered, render_chunk_frames - r.filled);
        session_render(r.session, r.chunk.data() + channel_count * r.filled, frames);
        r.filled += frames;
        if (r.filled == render_chunk_frames && !flush_chunk(r)) {
            return false;
        }
    }
    return true;
}

}  // namespace

void start_score_render(ScoreRender& r, FrameSink sink, int64_t length_ms) {
    start_session(r.session);
    r.sink = sink;
    r.chunk.assign(static_cast<size_t>(channel_count * render_chunk_frames), 0.0f);
    r.filled = 0;
    r.length_ms = length_ms;
    r.unplayed = 0;
}

bool render_score_event(ScoreRender& r, const ScoreEvent& event) {
    if (r.length_ms >= 0 && event.time_ms >= r.length_ms) {
        ++r.unplayed;
        return true;
    }
    if (!render_until_ms(r, event.time_ms)) {
        return false;
    }
    if (is_note_key(event.action)) {
        session_press(r.session, static_cast<int32_t>(event.action));
    } else {
        session_space(r.session, event.action == ScoreAction::space_down);
    }
    return true;
}

bool end_score_render(ScoreRender& r, const ScoreReader& reader) {
    if (r.length_ms < 0) {
        r.length_ms = default_render_length_ms(reader);
    }
    return render_until_ms(r, r.length_ms) && flush_chunk(r);
}

int64_t default_render_length_ms(const ScoreReader& reader) {
    return (reader.read_any_event ? reader.last_time_ms : 0) + render_tail_ms;
}

FileLimit file_limit_for(int64_t length_ms, int64_t max_frames) {
    return FileLimit{length_ms < 0 ? max_frames : INT64_MAX};
}

bool ring_out_fits_file(FileLimit& limit, const ScoreReader& reader, const ScoreEvent& event) {
    if (frame_at_ms(event.time_ms + render_tail_ms) <= limit.max_frames) {
        return true;
    }
    limit.too_long_line = reader.line_number - 1;  // the reader has moved on to the next line
    limit.too_long_ms = event.time_ms + render_tail_ms;
    return false;
}

}  // namespace pluck
