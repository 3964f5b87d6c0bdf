// Running a reverb channel over a whole block of input samples at a time.
#pragma once

#include <cstdint>

#include "engine/comb_reverb.h"

namespace pluck {

// out[i] = r.process(x[i]) for i = 0 ... frames - 1, in order: the same
// outputs and line contents, bit for bit. A line's calls read samples
// written at least its length - 2 (taps - 1) calls earlier, so a block that
// short or shorter is computed side by side, line by line.
void process_comb_block(CombReverb& r, const float* x, float* out, int32_t frames);

}  // namespace pluck
