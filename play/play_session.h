// A performance played in audio time: the main loop's pass for millisecond m
// runs just before the first frame of m is rendered, and sees the keys as
// they stand then. Whatever drives a session (a score read from a file, a web
// page's key events), the same input at the same milliseconds gives the same
// samples, so every live session is also a score.
#pragma once

#include <cstdint>

#include "engine/tuning.h"

namespace pluck {

// The first frame of millisecond `ms`: floor(ms * 44100 / 1000).
constexpr int64_t frame_at_ms(int64_t ms) {
    return ms * sample_rate_hz / 1000;
}

struct PlaySession {
    int64_t frames_rendered = 0;
    // The next millisecond whose pass has not run: where input lands.
    int64_t next_pass_ms = 0;
    bool space_down = false;
    uint32_t pressed = 0;  // bit k: note key k pressed since the last pass
};

// Puts the instrument back to its start-up state and starts `s` at 0 ms.
// Never while an audio thread runs.
void start_session(PlaySession& s);

// Note key `key` (0-7) pressed: its string is plucked by the next pass, once
// however often it is pressed before then. Other keys are ignored.
void session_press(PlaySession& s, int32_t key);

// Space goes down (or up) from the next pass on.
void session_space(PlaySession& s, bool down);

// Renders the next `frames` frames into `out` (2 * frames floats,
// interleaved), running the pass of every millisecond that begins inside
// them. Passes that pluck nothing (Space up and no key, or an auto-play
// tick that is no beat) don't split the rendering, which runs in as long
// blocks as the plucks allow; the samples are the same either way.
void session_render(PlaySession& s, float* out, int64_t frames);

}  // namespace pluck
