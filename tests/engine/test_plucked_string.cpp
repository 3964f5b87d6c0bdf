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

// The worked example: noise fills the loop in order from index 0, the pluck
// leaves the position alone, and the first step averages the five samples
// after index 0 and writes the result back at index 1.
TEST(PluckedString, FirstPluckAndStepGiveTheKnownValues) {
    reset_synth_state();
    PluckedString& s = synth.strings[3];
    s.pluck(109, 5, synth.noise);
    EXPECT_EQ(s.samples[0], 3.0f / 32768.0f);
    const float t = s.step();
    EXPECT_EQ(t, 0.0071318606f);
    EXPECT_EQ(s.position, 1);
    EXPECT_EQ(s.samples[1], t);
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

}  // namespace
}  // namespace pluck
