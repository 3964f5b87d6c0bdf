// One channel of the stereo reverb: four parallel feedback comb filters,
// each with a short average of taps inside its loop.
#pragma once

#include <cassert>
#include <cstdint>

#include "engine/tuning.h"

namespace pluck {

// The row of comb_delay_samples that preset `preset` 0-3 and channel 0
// (left) or 1 (right) use; larger values wrap round.
constexpr uint32_t comb_row(int32_t preset, int32_t channel) {
    return static_cast<uint32_t>(preset) % reverb_preset_count +
           reverb_preset_count * (static_cast<uint32_t>(channel) % 2);
}

struct DelayLine {
    // Circular buffer; only the first `length` entries are in use.
    float samples[delay_capacity_samples] = {};
    // Delay in samples, from the channel's row of the delay table.
    uint32_t length = 0;
    // Write counter; wraps modulo 2^32, and the unsigned remainder keeps the
    // index inside the line when it does.
    uint32_t position = 0;
};

struct CombReverb {
    DelayLine lines[comb_line_count];
    // Taps averaged inside each line's loop, two samples apart: at least 1.
    int32_t taps;

    // A silent channel with the delays of row comb_row(preset, channel),
    // averaging n + 1 taps (n >= 0). Out of line, so that the instrument's
    // channels, megabytes of zeros, are built at start-up in zeroed storage
    // rather than carried whole in the program file.
    CombReverb(int32_t preset, int32_t channel, int32_t n);

    // Advances every line by one sample with input `x` and returns this
    // channel's output.
    float process(float x) {
        assert(taps >= 1);
        float acc = 0.0f;
        for (int32_t d = 0; d < comb_line_count; ++d) {
            DelayLine& line = lines[d];
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
