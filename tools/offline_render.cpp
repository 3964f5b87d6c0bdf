#include "tools/offline_render.h"

#include <algorithm>
#include <vector>

#include "control/clock.h"
#include "control/play_pass.h"
#include "engine/render.h"
#include "engine/synth_state.h"

namespace pluck {

namespace {

// The auto-play's clock reads the millisecond being played; its 1 ms sleep
// does nothing, since virtual time moves only from one pass to the next.
uint32_t virtual_now_ms(void* context) {
    return static_cast<uint32_t>(*static_cast<const int64_t*>(context));
}

void virtual_sleep_1ms(void*) {}

// Rendered frames collect in one chunk, handed on whenever it fills up, so
// that a render of any length needs only this much memory.
struct ChunkedOutput {
    FrameSink sink;
    std::vector<float> chunk;
    int64_t filled = 0;    // frames in `chunk`
    int64_t rendered = 0;  // frames rendered since the start
};

bool flush(ChunkedOutput& out) {
    const int64_t frames = out.filled;
    out.filled = 0;
    return frames == 0 || out.sink.write(out.chunk.data(), frames, out.sink.context);
}

// Renders the frames before `end`. Any pluck made since the last call is
// applied by the first render_audio call, so it sounds from the frame where
// this call starts.
bool render_until(ChunkedOutput& out, int64_t end) {
    while (out.rendered < end) {
        const int64_t frames = std::min(end - out.rendered, render_chunk_frames - out.filled);
        render_audio(out.chunk.data() + channel_count * out.filled,
                     static_cast<uint32_t>(frames * frame_bytes));
        out.filled += frames;
        out.rendered += frames;
        if (out.filled == render_chunk_frames && !flush(out)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int64_t default_render_length_ms(std::span<const ScoreEvent> events) {
    return (events.empty() ? 0 : events.back().time_ms) + render_tail_ms;
}

bool render_score(std::span<const ScoreEvent> events, int64_t length_ms, FrameSink sink) {
    reset_synth_state();
    ChunkedOutput out{sink, std::vector<float>(channel_count * render_chunk_frames)};
    int64_t now_ms = 0;
    const Clock clock{virtual_now_ms, virtual_sleep_1ms, &now_ms};

    bool space_down = false;
    size_t next = 0;
    int64_t m = 0;
    while (m < length_ms) {
        uint32_t pressed = 0;
        for (; next < events.size() && events[next].time_ms <= m; ++next) {
            const ScoreAction action = events[next].action;
            if (is_note_key(action)) {
                pressed |= 1u << static_cast<uint32_t>(action);
            } else {
                space_down = action == ScoreAction::space_down;
            }
        }
        if (!space_down && pressed == 0) {
            // A pass with Space up and no key pressed does nothing, so the
            // passes up to the next event are skipped.
            m = next < events.size() ? std::min(events[next].time_ms, length_ms) : length_ms;
            continue;
        }
        if (!render_until(out, frame_at_ms(m))) {
            return false;
        }
        now_ms = m;
        play_pass(space_down, pressed, clock);
        ++m;
    }
    return render_until(out, frame_at_ms(length_ms)) && flush(out);
}

}  // namespace pluck
