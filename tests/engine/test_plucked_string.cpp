#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

#include "engine/synth_state.h"

namespace pluck {
namespace {

// The tuning rule truncates 2^(n/12) before dividing; dividing first, or
// rounding instead of truncating, shifts most of these.
TEST(PluckedString, PeriodFollowsTheTuningRule) {
    const struct {
        int32_t note;
        int32_t period;
    } cases[] = {{-1, 88200}, {-1000, 88200}, {INT32_MIN, 88200}, {0, 88200}, {11, 88200},
                 {12, 44100}, {19, 44100},    {20, 29400},        {85, 653},  {109, 162},
                 {121, 81},   {197, 1},       {198, 0},           {1000, 0},  {INT32_MAX, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(period_for_note(c.note), c.period) << "note " << c.note;
    }
}

TEST(PluckedString, NeverPluckedIsSilentAndStill) {
    PluckedString& s = synth.strings[0];
    reset_synth_state();
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(s.step(), 0.0f);
    }
    EXPECT_EQ(s.position, 0);
}

// The worked example: noise fills the loop in order, position is untouched
// by the pluck, and the first step averages the five samples after index 0.
TEST(PluckedString, FirstPluckAndStepGiveTheKnownValues) {
    reset_synth_state();
    PluckedString& s = synth.strings[3];
    s.pluck(109, 5, synth.noise);
    EXPECT_EQ(s.period, 162);
    EXPECT_EQ(s.width, 5);
    EXPECT_EQ(s.position, 0);
    const float first[] = {3.0f, 20.0f, 55.0f, 127.0f, 292.0f};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(s.samples[i], first[i] / 32768.0f);
    }
    // Exactly 162 values were drawn: the next one is the 163rd.
    NoiseGenerator fresh{1237, 234567, 890123};
    noise_skip(fresh, 162);
    EXPECT_EQ(noise_next(synth.noise), noise_next(fresh));

    const float t = s.step();
    EXPECT_EQ(t, 0.0071318606f);
    EXPECT_EQ(s.position, 1);
    EXPECT_EQ(s.samples[1], t);
}

TEST(PluckedString, SilentNoteDrawsNoNoiseButKeepsItsWidth) {
    reset_synth_state();
    PluckedString& s = synth.strings[0];
    s.pluck(200, 2, synth.noise);
    EXPECT_EQ(s.period, 0);
    EXPECT_EQ(s.width, 2);
    EXPECT_EQ(noise_next(), 3);  // still the generator's first value
    EXPECT_EQ(s.step(), 0.0f);
    EXPECT_EQ(s.position, 0);
}

// A second pluck continues the generator where the first one stopped.
TEST(PluckedString, SuccessivePlucksShareOneNoiseSequence) {
    reset_synth_state();
    synth.strings[0].pluck(121, 2, synth.noise);  // period 81
    synth.strings[1].pluck(121, 2, synth.noise);
    NoiseGenerator g{1237, 234567, 890123};
    noise_skip(g, 81);
    for (int i = 0; i < 81; ++i) {
        EXPECT_EQ(synth.strings[1].samples[i], static_cast<float>(noise_next(g)) / 32768.0f);
    }
}

// Width larger than the loop: the average wraps round the loop several
// times. With a one-sample loop every step is the same sample decayed
// `width` times over, then divided back.
TEST(PluckedString, WidthLargerThanPeriodWrapsRoundTheLoop) {
    PluckedString s{};
    s.period = 1;
    s.width = 3;
    s.samples[0] = 0.5f;
    float expected = 0.5f;
    for (int step = 0; step < 4; ++step) {
        float t = 0.0f;
        for (int j = 0; j < 3; ++j) {
            t = static_cast<float>(static_cast<double>(t) + 0.997 * static_cast<double>(expected));
        }
        expected = t / 3.0f;
        EXPECT_EQ(s.step(), expected);
    }
    s.period = 7;
    s.width = 12;  // wraps once fully, plus five
    for (int i = 0; i < 7; ++i) {
        s.samples[i] = static_cast<float>(i + 1);
    }
    s.position = 0;
    // Indices 1..12 mod 7 read samples 2,3,4,5,6,7,1,2,3,4,5,6.
    float t = 0.0f;
    for (int j = 1; j <= 12; ++j) {
        t = static_cast<float>(static_cast<double>(t) + 0.997 * static_cast<double>((j % 7) + 1));
    }
    EXPECT_EQ(s.step(), t / 12.0f);
}

// A string left sounding for more than 13.5 hours passes 2^31 steps; a
// 32-bit counter would turn negative and index before the loop. Two strings
// whose positions agree modulo the period must sound alike for ever.
TEST(PluckedString, PositionPastTwoToThe31KeepsIndexing) {
    static PluckedString young{};
    static PluckedString old{};
    for (PluckedString* s : {&young, &old}) {
        s->period = 653;
        s->width = 12;
        for (int i = 0; i < 653; ++i) {
            s->samples[i] = static_cast<float>((i * 37) % 101) / 101.0f - 0.5f;
        }
    }
    young.position = 5;
    old.position = 5 + int64_t{653} * 3'288'640;  // just below 2^31
    ASSERT_LT(old.position, int64_t{INT32_MAX});
    ASSERT_GT(old.position + 2000, int64_t{INT32_MAX});
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(young.step()), std::bit_cast<uint32_t>(old.step())) << i;
    }
    EXPECT_GT(old.position, int64_t{INT32_MAX});
}

// A decayed string lives on in subnormal float32 values: k * 2^-149 times
// 0.997 rounds back to k * 2^-149, so the tail never reaches zero. A build
// that flushes subnormals to zero (fast-math start-up code, FTZ/DAZ) turns
// this into silence and changes every long render.
TEST(PluckedString, SubnormalTailIsComputedExactly) {
    // Built from bits: under flush-to-zero even 3.0f * denorm_min is 0.
    const float three_units = std::bit_cast<float>(uint32_t{3});
    PluckedString s{};
    s.period = 4;
    s.width = 2;
    for (int i = 0; i < 4; ++i) {
        s.samples[i] = three_units;
    }
    // 0.997 * 3 rounds to 3 units, twice summed 5.991 rounds to 6, halved 3.
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(s.step()), 3u) << i;
    }
}

}  // namespace
}  // namespace pluck
