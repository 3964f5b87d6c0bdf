// The instrument's only source of randomness: a three-word additive generator.
#pragma once

#include <cstdint>

namespace pluck {

// Three 32-bit words; all arithmetic on them wraps modulo 2^32.
struct NoiseGenerator {
    int32_t s0 = 0;
    int32_t s1 = 0;
    int32_t s2 = 0;
};

// Advances `g` by one step and returns its output, in -32768 ... 32767.
inline int32_t noise_next(NoiseGenerator& g) {
    // Unsigned arithmetic gives the wrap-around that signed overflow would not.
    const uint32_t s0 = static_cast<uint32_t>(g.s0) + static_cast<uint32_t>(g.s1);
    const uint32_t s1 = static_cast<uint32_t>(g.s1) + static_cast<uint32_t>(g.s2);
    const uint32_t s2 = static_cast<uint32_t>(g.s2) + s0;
    g.s0 = static_cast<int32_t>(s0);
    g.s1 = static_cast<int32_t>(s1);
    g.s2 = static_cast<int32_t>(s2);
    // Arithmetic shift: the output keeps the sign of the top word.
    return g.s0 >> 16;
}

// Advances `g` by `steps` steps, discarding the outputs.
inline void noise_skip(NoiseGenerator& g, int32_t steps) {
    for (int32_t i = 0; i < steps; ++i) {
        noise_next(g);
    }
}

}  // namespace pluck
