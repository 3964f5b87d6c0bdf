#include "tools/offline_render.h"

#include <algorithm>

namespace pluck {

void start_score_render(ScoreRender& r, FrameSink sink) {
    start_session(r.session);
    r.sink = sink;
    r.chunk.assign(static_cast<size_t>(channel_count * render_chunk_frames), 0.0f);
    r.filled = 0;
}

bool render_until_ms(ScoreRender& r, int64_t ms) {
    const int64_t end = frame_at_ms(ms);
    while (r.session.frames_rendered < end) {
        const int64_t frames = std::min(end - r.session.frames_rendered, render_chunk_frames - r.filled);
        session_render(r.session, r.chunk.data() + channel_count * r.filled, frames);
        r.filled += frames;
        if (r.filled == render_chunk_frames && !finish_score_render(r)) {
            return false;
        }
    }
    return true;
}

void play_score_event(ScoreRender& r, const ScoreEvent& event) {
    if (is_note_key(event.action)) {
        session_press(r.session, static_cast<int32_t>(event.action));
    } else {
        session_space(r.session, event.action == ScoreAction::space_down);
    }
}

bool finish_score_render(ScoreRender& r) {
    const int64_t frames = r.filled;
    r.filled = 0;
    return frames == 0 || r.sink.write(r.chunk.data(), frames, r.sink.context);
}

int64_t default_render_length_ms(std::span<const ScoreEvent> events) {
    return (events.empty() ? 0 : events.back().time_ms) + render_tail_ms;
}

bool render_score(std::span<const ScoreEvent> events, int64_t length_ms, FrameSink sink) {
    ScoreRender r;
    start_score_render(r, sink);
    for (const ScoreEvent& event : events) {
        if (event.time_ms >= length_ms) {
            break;
        }
        if (!render_until_ms(r, event.time_ms)) {
            return false;
        }
        play_score_event(r, event);
    }
    return render_until_ms(r, length_ms) && finish_score_render(r);
}

}  // namespace pluck
