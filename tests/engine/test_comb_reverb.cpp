#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "engine/comb_reverb.h"

namespace pluck {
namespace {

// Each line averages taps two samples apart, adds the input and feeds back
// with a negative gain. Silence in must give silence out.
TEST(CombReverb, SilenceStaysSilent) {
    static CombReverb r{};
    for (int i = 0; i < 20000; ++i) {
        ASSERT_EQ(r.process(0.0f, 0, 0, 2), 0.0f);
    }
}

// An impulse on the left channel of preset 0: 0.3 * (four lines + half the
// input) at once, then nothing until the shortest line (1277) brings it back
// through its oldest tap at call 1273, and through the other taps at 1275
// and 1277. Off-by-one in the tap spacing or the line length moves these.
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

// The two channels differ only in their rows of delay lengths; fed the same
// signal they part when the first echo comes back (right: 1259 - 4).
TEST(CombReverb, ChannelsPartAtTheirFirstEcho) {
    static CombReverb left{};
    static CombReverb right{};
    int parted_at = -1;
    for (int i = 0; i < 2000 && parted_at < 0; ++i) {
        const float x = i < 8 ? 1.0f / static_cast<float>(i + 1) : 0.0f;
        if (left.process(x, 0, 0, 2) != right.process(x, 0, 1, 2)) {
            parted_at = i;
        }
    }
    EXPECT_EQ(parted_at, 1255);
}

// Presets and channels outside the table wrap onto its rows instead of
// reading beyond it; the write counter wraps at 2^32 and stays in the line.
TEST(CombReverb, OutOfRangeArgumentsAndCounterWrapStayInside) {
    static CombReverb a{};
    static CombReverb b{};
    for (int i = 0; i < 3000; ++i) {
        const float x = i == 0 ? 1.0f : 0.0f;
        ASSERT_EQ(a.process(x, 6, 3, 2), b.process(x, 2, 1, 2)) << i;
    }
    static CombReverb w{};
    for (DelayLine& line : w.lines) {
        line.position = std::numeric_limits<uint32_t>::max() - 2;
    }
    for (int i = 0; i < 5000; ++i) {
        w.process(i == 0 ? 1.0f : 0.0f, 0, 0, 2);
    }
    EXPECT_EQ(w.lines[0].position, 4997u);
    EXPECT_EQ(w.lines[0].length, 2063u);
}

// A comb tail decays into subnormal values; they must be kept, not flushed.
TEST(CombReverb, SubnormalInputIsNotFlushed) {
    static CombReverb r{};
    const float tiny = std::numeric_limits<float>::denorm_min() * 1000.0f;
    // 0.3 * (4 + 0.5) * tiny, rounded at each float32 step.
    EXPECT_NE(r.process(tiny, 0, 0, 2), 0.0f);
}

}  // namespace
}  // namespace pluck
