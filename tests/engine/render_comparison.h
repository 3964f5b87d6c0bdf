// Playing one score through render_audio() and through the plain
// frame-by-frame render_audio_reference(), and holding the two to the same
// bits: every buffer and, at the end, everything the engine holds.
#pragma once

#include <cstdint>
#include <vector>

namespace pluck {

struct ScorePluck {
    int buffer;  // handed over just before this buffer is rendered
    int32_t string;
    int32_t note;
    int32_t width;
};

struct Score {
    std::vector<ScorePluck> plucks;  // in buffer order
    std::vector<uint32_t> buffer_bytes;
    // Before this buffer every value the engine holds is scaled by
    // 2^-scale_exponent, taking the sound at once to the edge of, or deep
    // into, the subnormal range (-1: never).
    int scale_at = -1;
    int scale_exponent = 0;
};

// `buffers` buffers of 4096 bytes with plucks every `pluck_every` buffers,
// in the instrument's own manner: the eight keys at their offsets and widths
// around a key that wanders by fours, now and then a whole chord, notes far
// below and above the usual range (negative, silent), and widths far larger
// than the period.
Score random_score(uint32_t seed, int buffers, int pluck_every);

// Renders `score` both ways from a fresh engine and adds a test failure
// naming the first buffer (or the part of the engine's state) that differs.
void expect_same_render(const Score& score, const char* what);

}  // namespace pluck
