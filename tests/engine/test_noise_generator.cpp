#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "engine/synth_state.h"

namespace pluck {
namespace {

// A wrong seed, step order or shift (logical instead of arithmetic) changes
// the first eleven values (the eleventh is the first negative one); overflow
// must wrap like 32-bit two's complement (UBSan flags signed overflow).
TEST(NoiseGenerator, FirstElevenOutputsAndWrapOnOverflow) {
    reset_synth_state();
    for (int32_t value : {3, 20, 55, 127, 292, 678, 1577, 3667, 8527, 19823, -19453}) {
        EXPECT_EQ(noise_next(), value);
    }
    NoiseGenerator g{INT32_MAX, 1, INT32_MAX};
    EXPECT_EQ(noise_next(g), -32768);
    EXPECT_EQ(g.s0, INT32_MIN);
    EXPECT_EQ(g.s1, INT32_MIN);
    EXPECT_EQ(g.s2, -1);  // INT32_MAX + INT32_MIN
}

}  // namespace
}  // namespace pluck
