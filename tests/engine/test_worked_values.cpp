// What the checksums in test_render.cpp never meet: the ends of the note
// range, and plucks the instrument ignores.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <utility>

#include "engine/pluck_handover.h"
#include "engine/render.h"
#include "engine/synth_state.h"

namespace pluck {
namespace {

// Tuning is 88200 / trunc(2^(n/12)): the lowest notes divide by 1 or would
// divide by 0 (both give the whole loop), the highest give 0, a silent
// string, without overflowing on the way. A pluck draws its loop's worth of
// noise at once, so that the order of draws is the order of the player's
// actions; a string outside the eight, or a silent note, draws none.
TEST(WorkedValues, NoteRangeEndsAndPlucksThatDrawNoNoise) {
    const std::pair<int32_t, int32_t> periods[] = {{INT32_MIN, 88200}, {11, 88200}, {12, 44100},
                                                   {197, 1},           {198, 0},    {INT32_MAX, 0}};
    for (const auto& [note, period] : periods) {
        EXPECT_EQ(period_for_note(note), period) << "note " << note;
    }
    reset_synth_state();
    NoiseGenerator expected = synth.noise;
    noise_skip(expected, 162);
    pluck_string(-1, 109, 5);
    pluck_string(8, 109, 5);
    pluck_string(0, 200, 2);
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
