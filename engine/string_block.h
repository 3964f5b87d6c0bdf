// Stepping a string a whole block of frames at a time.
#pragma once

#include <cstdint>

#include "engine/plucked_string.h"

namespace pluck {

// Takes `frames` steps of `s` and writes their outputs to out[0 ...
// frames - 1]: the same samples, loop and position, bit for bit, as that
// many calls of s.step(). Steps that read nothing written within the block
// are computed side by side; a loop that has settled (one value throughout,
// which a step gives back unchanged) is recognised and not recomputed. A
// loop with no two neighbouring steps independent (period - width + 1 below
// two), or a very wide average, steps one by one.
void step_string_block(PluckedString& s, float* out, int32_t frames);

}  // namespace pluck
