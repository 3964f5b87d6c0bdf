#include "play/play_session.h"

#include <algorithm>
#include <cassert>

#include "engine/render.h"
#include "engine/synth_state.h"
#include "play/auto_play.h"
#include "play/note_keys.h"
#include "play/play_pass.h"

namespace pluck {

namespace {

// The auto-play's clock reads the millisecond being played; its 1 ms pause
// is nothing, since virtual time moves only from one pass to the next.
uint32_t session_now_ms(void* context) {
    return static_cast<uint32_t>(static_cast<const PlaySession*>(context)->next_pass_ms);
}

void session_sleep_1ms(void*) {}

// The first millisecond that begins at or after `frame`.
int64_t first_ms_from_frame(int64_t frame) {
    return (frame * 1000 + sample_rate_hz - 1) / sample_rate_hz;
}

// Whether the next pass may pluck, so that the audio before it must be
// rendered first.
bool next_pass_plucks(const PlaySession& s) {
    return s.pressed != 0 || (s.space_down && auto_play_beat_due(static_cast<uint32_t>(s.next_pass_ms)));
}

void run_pass(PlaySession& s) {
    const Clock clock{session_now_ms, session_sleep_1ms, &s};
    const uint32_t pressed = s.pressed;
    s.pressed = 0;
    play_pass(s.space_down, pressed, clock);
    ++s.next_pass_ms;
}

// render_audio takes a byte count in 32 bits.
constexpr int64_t max_render_call_frames = 1 << 20;

// The session's next `frames` frames, which no pass falls inside, in as few
// render_audio calls as its byte count allows.
void render_between_passes(PlaySession& s, float* out, int64_t frames) {
    while (frames > 0) {
        const int64_t n = std::min(frames, max_render_call_frames);
        render_audio(out, static_cast<uint32_t>(n * frame_bytes));
        out += n * channel_count;
        frames -= n;
        s.frames_rendered += n;
    }
}

}  // namespace

void start_session(PlaySession& s) {
    reset_synth_state();
    reset_auto_play();
    s = PlaySession{};
}

void session_press(PlaySession& s, int32_t key) {
    if (key >= 0 && key < note_key_count) {
        s.pressed |= 1u << key;
    }
}

void session_space(PlaySession& s, bool down) {
    s.space_down = down;
}

void session_render(PlaySession& s, float* out, int64_t frames) {
    assert(frames >= 0 && (out != nullptr || frames == 0));
    const int64_t start = s.frames_rendered;
    const int64_t end = start + frames;
    while (s.frames_rendered < end) {
        if (!s.space_down && s.pressed == 0) {
            // Nothing for any pass to do until the input changes.
            s.next_pass_ms = std::max(s.next_pass_ms, first_ms_from_frame(end));
        }
        // Passes that pluck nothing may run ahead of the audio: they only
        // move the auto-play's clock.
        while (frame_at_ms(s.next_pass_ms) < end && !next_pass_plucks(s)) {
            run_pass(s);
        }
        const int64_t until = std::min(end, frame_at_ms(s.next_pass_ms));
        render_between_passes(s, out + (s.frames_rendered - start) * channel_count,
                              until - s.frames_rendered);
        if (s.frames_rendered < end) {
            run_pass(s);  // one that may pluck, at its own frame
        }
    }
}

}  // namespace pluck
