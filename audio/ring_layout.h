// The ring of buffers the audio output keeps queued on the sound device, and
// how a wanted latency lays it out: how many buffers, of how many frames.
#pragma once

#include <cstdint>

#include "engine/tuning.h"

namespace pluck {

// The most buffers a ring may have: 64 of 512 frames queue 0.74 s.
constexpr int32_t max_ring_buffers = 64;
// The shortest buffer: 128 frames, 2.9 ms. A thread that has to wake more
// often than that is late too often.
constexpr int32_t min_buffer_frames = 128;
// A ring laid out for a latency has at least this many buffers: with fewer,
// the device runs dry whenever the audio thread wakes one buffer late.
constexpr int32_t min_ring_buffers = 2;
// The longest latency asked for, in whole milliseconds: about what the
// longest ring (64 buffers of 512 frames) holds.
constexpr int32_t max_latency_ms = 743;

// How the ring is laid out: `buffers` buffers of `buffer_frames` each.
struct RingLayout {
    int32_t buffer_frames = pluck::buffer_frames;  // min_buffer_frames to 512
    int32_t buffers = ring_buffer_count;           // 1 to max_ring_buffers

    int32_t frames() const {
        return buffer_frames * buffers;
    }
};

// The ring for about `ms` milliseconds queued ahead (1 to max_latency_ms):
// the largest of 512-, 256- and 128-frame buffers (the quanta sound servers
// run at) of which about three or more make up that time (nearer than that,
// a longer buffer wakes the audio thread too seldom to keep the queue even),
// then as many of them as come nearest to `ms`, but at least
// min_ring_buffers. 70 gives the six 512-frame buffers pluck plays with by
// default; 17 gives three of 256 frames (17.4 ms); 10 gives three of 128
// (8.7 ms).
RingLayout ring_for_latency(int32_t ms);

// Milliseconds a ring of `frames` holds, to a tenth.
double ring_ms(int32_t frames);

}  // namespace pluck
