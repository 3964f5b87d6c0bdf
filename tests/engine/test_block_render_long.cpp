// The block renderer against the plain one over long renders: minutes of
// play and of fading, which take too long for the sanitizer builds.
#include <gtest/gtest.h>

#include "render_comparison.h"

namespace pluck {
namespace {

// Space held for three minutes: a pluck on every other buffer or so, the
// key wandering all the while.
TEST(BlockRenderLong, ThreeMinutesOfDensePlay) {
    expect_same_render(random_score(21, 3 * 60 * 44100 / 512, 2), "three minutes of dense play");
}

// A chord and some single notes, then eleven minutes of fading: through
// the ordinary range, across the edge of the subnormal range and on into
// the settled state where every value is subnormal for good.
TEST(BlockRenderLong, ElevenMinutesOfDecay) {
    Score score = random_score(22, 11 * 60 * 44100 / 512, 1000000);
    score.plucks.clear();
    const int32_t offsets[8] = {-24, -12, -5, 0, 3, 7, 10, 12};
    const int32_t widths[8] = {12, 9, 7, 5, 4, 3, 2, 2};
    for (int32_t k = 0; k < 8; ++k) {
        score.plucks.push_back({0, k, 109 + offsets[k], widths[k]});
    }
    score.plucks.push_back({3, 2, 40, 7});    // a low note, period 9800
    score.plucks.push_back({9, 6, 188, 12});  // width far past its period of 2
    expect_same_render(score, "eleven minutes of decay");
}

}  // namespace
}  // namespace pluck
