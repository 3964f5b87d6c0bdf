// The three one-pole filters that shape the strings' sum before the reverb.
#pragma once

#include "engine/tuning.h"

namespace pluck {

struct OutputFilters {
    // Each stage's previous output.
    float state[3] = {};
    // Each stage's pole k: y = k*y_prev + (1-k)*x, unity gain at DC. The
    // first and third smooth; the second, with its pole at -0.5, lifts the
    // top.
    float poles[3] = {filter_poles[0], filter_poles[1], filter_poles[2]};

    // One frame of the three stages in plain float32, the filters'
    // definition; returns the last stage's output.
    float process(float sum) {
        state[0] = (state[0] - sum) * poles[0] + sum;
        state[1] = (state[1] - state[0]) * poles[1] + state[0];
        state[2] = (state[2] - state[1]) * poles[2] + state[1];
        return state[2];
    }
};

}  // namespace pluck
