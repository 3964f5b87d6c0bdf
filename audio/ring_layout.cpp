#include "audio/ring_layout.h"

#include <cmath>

namespace pluck {
namespace {

constexpr int32_t buffer_frame_choices[] = {512, 256, 128};

// Buffers of `buffer_frames` nearest to `frames`, rounding halves up.
int32_t nearest_count(int32_t frames, int32_t buffer_frames) {
    return (frames + buffer_frames / 2) / buffer_frames;
}

}  // namespace

RingLayout ring_for_latency(int32_t ms) {
    const int32_t frames = static_cast<int32_t>((static_cast<int64_t>(ms) * sample_rate_hz + 500) / 1000);
    RingLayout ring{buffer_frame_choices[2], 0};
    for (const int32_t choice : buffer_frame_choices) {
        if (nearest_count(frames, choice) >= 3) {
            ring.buffer_frames = choice;
            break;
        }
    }
    ring.buffers = nearest_count(frames, ring.buffer_frames);
    if (ring.buffers < min_ring_buffers) {
        ring.buffers = min_ring_buffers;
    }
    return ring;
}

double ring_ms(int32_t frames) {
    return std::round(frames * 10000.0 / sample_rate_hz) / 10.0;
}

}  // namespace pluck
