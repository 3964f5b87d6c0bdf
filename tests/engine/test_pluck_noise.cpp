// What the checksums in test_render.cpp never meet: plucks the instrument
// ignores.
#include <gtest/gtest.h>

#include <cstdint>

#include "engine/pluck_handover.h"
#include "engine/render.h"
#include "engine/synth_state.h"

namespace pluck {
namespace {

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
