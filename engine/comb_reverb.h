// One channel of the stereo reverb: four parallel feedback comb filters,
// each with a short average of taps inside its loop.
#pragma once

#include <cstdint>

#include "engine/tuning.h"

namespace pluck {

struct DelayLine {
    // Circular buffer; only the first `length` entries are in use.
    float samples[delay_capacity_samples] = {};
    // Delay in samples, set from the delay table on every call.
    uint32_t length = 0;
    // Write counter; wraps modulo 2^32, and the unsigned remainder keeps the
    // index inside the line when it does.
    uint32_t position = 0;
};

struct CombReverb {
    DelayLine lines[comb_line_count];

    // Advances every line by one sample with input `x` and returns this
    // channel's output. `preset` 0-3 and `channel` 0 (left) or 1 (right)
    // pick the row of delay lengths (larger values wrap round); `n` >= 0 is
    // the number of averaged taps minus one.
    float process(float x, int32_t preset, int32_t channel, int32_t n) {
        const int32_t taps = n + 1;
        const uint32_t row = static_cast<uint32_t>(preset) % reverb_preset_count +
                             reverb_preset_count * (static_cast<uint32_t>(channel) % 2);
        float acc = 0.0f;
        for (int32_t d = 0; d < comb_line_count; ++d) {
            DelayLine& line = lines[d];
            line.length = comb_delay_samples[row][d];
            // Taps two samples apart, the first being the oldest sample.
            float t = 0.0f;
            for (int32_t j = 0; j < taps; ++j) {
                t = t + line.samples[(line.position + 2 * static_cast<uint32_t>(j)) % line.length];
            }
            const float y = t / static_cast<float>(taps) + x;
            line.samples[line.position % line.length] = comb_feedback[d] * y;
            line.position = line.position + 1;
            acc = acc + y;
        }
        const float dry = static_cast<float>(static_cast<double>(x) * reverb_dry_share);
        return static_cast<float>(static_cast<double>(acc + dry) * reverb_output_gain);
    }
};

}  // namespace pluck
