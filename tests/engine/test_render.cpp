// The exact bits of the whole render (compiled for the web build too), and
// what those checksums never meet: plucks the instrument ignores.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <span>

#include "engine/pluck_handover.h"
#include "engine/render.h"
#include "engine/synth_state.h"

namespace pluck {
namespace {

// 64-bit FNV-1a over the bytes of `buffers` buffers of 512 frames rendered
// from the engine as it is, each pluck of `score` handed over before its
// buffer.
struct Pluck {
    int buffer;
    int32_t string, note, width;
};
uint64_t render_digest(int buffers, std::span<const Pluck> score = {}) {
    uint64_t h = 14695981039346656037ull;
    auto next = score.begin();
    for (int b = 0; b < buffers; ++b) {
        for (; next != score.end() && next->buffer == b; ++next) {
            pluck_string(next->string, next->note, next->width);
        }
        float out[1024];
        render_audio(out, sizeof out);
        for (float v : out) {
            for (int byte = 0; byte < 4; ++byte) {
                h = (h ^ ((std::bit_cast<uint32_t>(v) >> (8 * byte)) & 0xFF)) * 1099511628211ull;
            }
        }
    }
    return h;
}

// The exact bits of four seconds of music: several strings, repeated
// plucks, one string plucked twice between two buffers (the second wins,
// but both draw noise), a one-sample loop averaged twelve wide, a note below
// zero and a very low one. Any change in rounding order, FMA contraction or
// note tuning changes this checksum. Then every value the instrument holds
// (string loops, comb lines, filter states) is scaled by 2^-136, deep into
// subnormal float32, and rendered for two more seconds: the long-decayed
// state in miniature. A build that flushes subnormals to zero (FTZ/DAZ, as
// fast-math start-up code sets) renders silence there and fails.
//
// Both checksums came from this engine and are confirmed by an independent
// model in Python (scripts/confirm-checksums, float32 rounding through
// struct), to be run again whenever a checksum changes.
TEST(Render, ScriptedScoreIsBitExact) {
    reset_synth_state();
    const Pluck score[] = {
        {0, 3, 109, 5},   {10, 0, 85, 12}, {10, 7, 121, 2},  {40, 5, 116, 3},  {60, 3, 109, 5},
        {80, 6, 190, 12}, {100, 1, 97, 9}, {100, 2, 104, 7}, {150, 4, 5, 4},   {200, 0, 85, 12},
        {200, 0, 73, 12}, {250, 2, -3, 7}, {300, 7, 121, 2}, {300, 6, 119, 8},
    };
    EXPECT_EQ(render_digest(350, score), 0x63560227cc154361ull);

    // Whole arrays: the samples past a loop's or a line's length are never read.
    const auto scale = [](auto& values) {
        for (float& v : values) {
            v *= 0x1p-136f;
        }
    };
    for (int d = 0; d < 8; ++d) {
        scale(synth.strings[d].samples);
        scale(synth.reverb[d / 4].lines[d % 4].samples);
    }
    scale(synth.filters.state);
    EXPECT_EQ(render_digest(172), 0x2a7ff8b2bb9502dcull);
}

// A pluck draws its loop's worth of noise at once, so that the order of
// draws is the order of the player's actions; a string outside the eight,
// or a silent note (from 198 up), draws none and leaves its string silent.
TEST(PluckNoise, IgnoredPlucksDrawNoNoise) {
    reset_synth_state();
    NoiseGenerator expected = synth.noise;
    noise_skip(expected, 162);
    pluck_string(-1, 109, 5);
    pluck_string(8, 109, 5);
    pluck_string(0, 198, 2);
    pluck_string(3, 109, 5);
    EXPECT_EQ(synth.noise.s0, expected.s0);
    EXPECT_EQ(synth.noise.s1, expected.s1);
    float frame[2];
    render_audio(frame, sizeof frame);
    EXPECT_EQ(synth.strings[0].period, 0);
    EXPECT_EQ(synth.strings[3].period, 162);
}

}  // namespace
}  // namespace pluck
