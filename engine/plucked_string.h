// One string voice: a Karplus-Strong loop of noise that is averaged and
// decayed a little on every step until it rings as a pitched, fading tone.
#pragma once

#include <cassert>
#include <cstdint>

#include "engine/noise_generator.h"
#include "engine/tuning.h"

namespace pluck {

// Loop length in samples of note `note` (note 0 is 0.5 Hz, twelve notes an
// octave). 2^(n/12) is truncated before the division, and that coarse tuning
// is the instrument's own. Notes below 12 give the full capacity (88,200);
// notes from 198 up give 0, a silent string.
int32_t period_for_note(int32_t note);

struct PluckedString {
    // Steps taken while the string had a period; never reset, not even by a
    // pluck. 64 bits, so it never wraps in any real run.
    int64_t position = 0;
    // Loop length in samples, 0 to string_capacity_samples; 0 is silent.
    int32_t period = 0;
    // Consecutive loop samples averaged per step; at least 1 once plucked.
    int32_t width = 0;
    // The loop; only the first `period` entries are in use.
    float samples[string_capacity_samples] = {};

    // Restarts the string at `note` with averaging width `width` (>= 1): one
    // noise value from `noise` per loop sample. Not safe against a concurrent
    // step(); the live instrument goes through pluck_string() instead.
    void pluck(int32_t note, int32_t width, NoiseGenerator& noise);

    // The string's next output sample (0 while silent).
    float step() {
        const int32_t p = period;
        const int32_t w = width;
        if (p <= 0) {
            return 0.0f;
        }
        assert(p <= string_capacity_samples && w >= 1);
        position = position + 1;
        // Each term is widened to double, decayed, added in double and
        // rounded back to float32 after every addition; that rounding order
        // is part of the sound.
        float t = 0.0f;
        for (int32_t j = 0; j < w; ++j) {
            const float s = samples[(position + j) % p];
            t = static_cast<float>(static_cast<double>(t) + string_decay * static_cast<double>(s));
        }
        t = t / static_cast<float>(w);
        // Replaces the oldest sample, the first one read above.
        samples[position % p] = t;
        return t;
    }
};

}  // namespace pluck
