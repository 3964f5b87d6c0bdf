// Values worked out by hand from the instrument's definition, stage by
// stage. The checksums in test_render.cpp pin the whole sound, but a stored
// hash can neither say which stage changed nor show that it was ever right.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <utility>

#include "engine/pluck_handover.h"
#include "engine/render.h"
#include "engine/synth_state.h"

namespace pluck {
namespace {

// Noise: s0 += s1, s1 += s2, s2 += s0 from the seeds, output s0 >> 16 (the
// eleventh is the first negative one). Tuning: 88200 / trunc(2^(n/12)),
// truncated before dividing. A pluck draws its loop's worth of noise at
// once, so that the order of draws is the order of the player's actions (a
// string outside the eight or a silent note draws none); the string takes
// it when the audio thread starts its next buffer, whose first step
// averages the five samples after index 0, decayed by 0.997,
// (20 + 55 + 127 + 292 + 678) * 0.997 / 5 / 32768, and writes it at index 1.
TEST(WorkedValues, NoiseTuningPluckAndTheFirstStep) {
    reset_synth_state();
    const NoiseGenerator start = synth.noise;
    NoiseGenerator g = start;
    for (int32_t value : {3, 20, 55, 127, 292, 678, 1577, 3667, 8527, 19823, -19453}) {
        EXPECT_EQ(noise_next(g), value);
    }
    const std::pair<int32_t, int32_t> periods[] = {{INT32_MIN, 88200}, {11, 88200}, {12, 44100},
                                                   {19, 44100},        {20, 29400}, {109, 162},
                                                   {197, 1},           {198, 0},    {INT32_MAX, 0}};
    for (const auto& [note, period] : periods) {
        EXPECT_EQ(period_for_note(note), period) << "note " << note;
    }
    pluck_string(-1, 109, 5);
    pluck_string(8, 109, 5);
    pluck_string(0, 200, 2);
    pluck_string(3, 109, 5);
    EXPECT_EQ(synth.strings[3].period, 0);
    g = start;
    noise_skip(g, 162);
    EXPECT_EQ(synth.noise.s0, g.s0);
    float frame[2];
    render_audio(frame, sizeof frame);
    const PluckedString& s = synth.strings[3];
    EXPECT_EQ(synth.strings[0].period, 0);
    EXPECT_EQ(s.period, 162);
    EXPECT_EQ(s.width, 5);
    EXPECT_EQ(s.samples[0], 3.0f / 32768.0f);
    EXPECT_EQ(s.position, 1);
    EXPECT_EQ(s.samples[1], 0.0071318606f);
}

// An impulse into the left channel of reverb preset 0 with three taps:
// 0.3 * (four lines + half the input) = 1.35 at once, then exact zeros until
// the shortest line (1277, feedback -0.8503) brings it back, a third of it
// through each tap: the oldest at call 1273, the others at 1275 and 1277.
TEST(WorkedValues, CombImpulseAndItsFirstEcho) {
    static CombReverb r{};
    EXPECT_EQ(r.process(1.0f, 0, 0, 2), 1.35f);
    const float echo = static_cast<float>(static_cast<double>(-0.8503f / 3.0f) * 0.3);
    for (int call = 1; call <= 1277; ++call) {
        ASSERT_EQ(r.process(0.0f, 0, 0, 2), call == 1273 || call == 1275 || call == 1277 ? echo : 0.0f)
            << call;
    }
}

// A string whose first step gives exactly 1 and then zeros: a unit impulse
// through the filters (poles 0.3, -0.5, 0.7: 0.7, 1.05, 0.315, then 0.21,
// -0.21, 0.1575), times the reverb's 1.35 plus the dry 0.3, on both channels.
TEST(WorkedValues, UnitImpulseThroughTheFilterChain) {
    reset_synth_state();
    PluckedString& s = synth.strings[0];
    s.period = 1000;
    s.width = 1;
    float x = 1.0f;
    while (static_cast<float>(string_decay * static_cast<double>(x)) < 1.0f) {
        x = std::nextafter(x, 2.0f);
    }
    s.samples[1] = x;
    float out[4];
    render_audio(out, sizeof out);
    EXPECT_FLOAT_EQ(out[0], 0.51975f);
    EXPECT_FLOAT_EQ(out[2], 0.259875f);
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(out[2], out[3]);
}

// A string left sounding for more than 13.5 hours passes 2^31 steps; a
// 32-bit position would turn negative and index before the loop. Two strings
// whose positions agree modulo the period must sound alike for ever.
TEST(WorkedValues, PositionPastTwoToThe31KeepsIndexing) {
    reset_synth_state();
    PluckedString& young = synth.strings[0];
    PluckedString& old = synth.strings[1];
    NoiseGenerator same = synth.noise;
    young.pluck(85, 12, synth.noise);
    old.pluck(85, 12, same);
    old.position = int64_t{653} * 3'288'640;  // just below 2^31
    for (int i = 0; i < 4000; ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(young.step()), std::bit_cast<uint32_t>(old.step())) << i;
    }
    EXPECT_GT(old.position, int64_t{INT32_MAX});
}

}  // namespace
}  // namespace pluck
