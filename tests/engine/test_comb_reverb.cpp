#include <gtest/gtest.h>

#include "engine/comb_reverb.h"

namespace pluck {
namespace {

// An impulse on the left channel of preset 0: 0.3 * (four lines + half the
// input) at once, then exact zeros until the shortest line (1277) brings it
// back through its oldest tap at call 1273, and through the other taps at
// 1275 and 1277. Off-by-one in the tap spacing or the line length moves these.
TEST(CombReverb, ImpulseEchoesAtTheShortestLine) {
    static CombReverb r{};
    EXPECT_EQ(r.process(1.0f, 0, 0, 2), 1.35f);
    const float echo = static_cast<float>(static_cast<double>(-0.8503f / 3.0f) * 0.3);
    for (int call = 1; call <= 1278; ++call) {
        const float y = r.process(0.0f, 0, 0, 2);
        if (call == 1273 || call == 1275 || call == 1277) {
            EXPECT_EQ(y, echo) << "call " << call;
            EXPECT_NEAR(y, -0.08503f, 1e-6f);
        } else {
            ASSERT_EQ(y, 0.0f) << "call " << call;
        }
    }
}

}  // namespace
}  // namespace pluck
