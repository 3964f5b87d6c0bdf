// How --latency lays out the ring.
#include <gtest/gtest.h>

#include "audio/ring_layout.h"

namespace pluck {
namespace {

// The largest buffer of which about three make up the time, and as many as
// come nearest (halves rounding up), at least two.
TEST(RingLayout, LatencyChoosesTheRing) {
    const struct {
        int32_t ms, buffer_frames, buffers;
        double holds_ms;
    } rings[] = {
        {70, 512, 6, 69.7}, {743, 512, 64, 743.0}, {35, 512, 3, 34.8}, {30, 512, 3, 34.8},
        {29, 256, 5, 29.0}, {25, 256, 4, 23.2},    {17, 256, 3, 17.4}, {16, 256, 3, 17.4},
        {14, 128, 5, 14.5}, {10, 128, 3, 8.7},     {7, 128, 2, 5.8},   {1, 128, 2, 5.8},
    };
    for (const auto& r : rings) {
        const RingLayout ring = ring_for_latency(r.ms);
        EXPECT_EQ(ring.buffer_frames, r.buffer_frames) << r.ms << " ms";
        EXPECT_EQ(ring.buffers, r.buffers) << r.ms << " ms";
        EXPECT_EQ(ring_ms(ring.frames()), r.holds_ms) << r.ms << " ms";
    }
}

}  // namespace
}  // namespace pluck
