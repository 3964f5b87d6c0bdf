// Running the output filters over a whole block of frames at a time.
#pragma once

#include <cstdint>

#include "engine/output_filters.h"

namespace pluck {

// x[i] = f.process(sum[i]) for i = 0 ... frames - 1, in order: the same
// outputs and states, bit for bit. Each frame needs the last, so the frames
// go one after another, in the arithmetic that is quickest for the values
// at hand; a block that one frame leaves as it found it is recognised and
// not recomputed.
void process_filter_block(OutputFilters& f, const float* sum, float* x, int32_t frames);

}  // namespace pluck
