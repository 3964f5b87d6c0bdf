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

// One frame of the three filters in plain float32, the filters' definition:
// each stage is y = k*y_prev + (1-k)*x, unity gain at DC; the first and third
// smooth, the second, with its pole at -0.5, lifts the top. Updates the
// states f and returns the last stage's output.
inline float filter_frame(float f[3], const float k[3], float sum) {
    f[0] = (f[0] - sum) * k[0] + sum;
    f[1] = (f[1] - f[0]) * k[1] + f[0];
    f[2] = (f[2] - f[1]) * k[2] + f[1];
    return f[2];
}

}  // namespace pluck
