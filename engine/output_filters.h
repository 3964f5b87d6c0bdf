// The three one-pole filters that shape the strings' sum before the reverb.
#pragma once

#include <cstdint>

namespace pluck {

// Runs the output filters of `synth` over sum[0 ... frames - 1], frame
// after frame, writing the last stage's output to x[i]:
//   f1 = (f1 - sum) * 0.3 + sum
//   f2 = (f2 - f1) * (-0.5) + f1
//   f3 = (f3 - f2) * 0.7 + f2
// in float32, with f1-f3 and the coefficients from synth.filter_state and
// synth.filter_coeff.
void run_output_filters(const float* sum, float* x, int32_t frames);

}  // namespace pluck
