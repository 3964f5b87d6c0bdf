#include "engine/filter_block.h"

#include <algorithm>
#include <bit>

#include "engine/float_rounding.h"

namespace pluck {

namespace {

// The one truly serial part of the signal path: each frame needs the last.
// Its float32 arithmetic is written three ways, all giving the same bits;
// the fastest one for the signal at hand is chosen a block at a time (see
// float_rounding.h for what is slow).
enum class Arithmetic {
    // Plain float32: the shortest chain from frame to frame. For signals of
    // ordinary size, where nothing comes near the subnormal range.
    plain,
    // Float32 additions, which are quick when their operands are already
    // subnormal, and multiplies in double, rounded to float32. For a signal
    // that has faded wholly into the subnormal range.
    subnormal,
    // Every operation in double, rounded to float32: never slow, but the
    // longest chain. For a signal on its way between the two.
    rounded,
};

Arithmetic choose_arithmetic(const OutputFilters& f, const float* sum, int32_t frames) {
    // With ordinary inputs and states (see Magnitudes) plain float32 stays
    // clear of the subnormal range, but for rare near cancellations.
    MagnitudeRange range;
    widen_range(range, sum, frames);
    widen_range(range, f.state, 3);
    const Magnitudes magnitudes = classify(range);
    if (magnitudes == Magnitudes::ordinary) {
        return Arithmetic::plain;
    }
    // While the input and the states stay below 2^-130, the chain's gains
    // (at most 3) keep every value subnormal.
    if (magnitudes == Magnitudes::subnormal) {
        return Arithmetic::subnormal;
    }
    return Arithmetic::rounded;
}

// OutputFilters::process() over a block, in the chosen arithmetic.
template <Arithmetic arithmetic>
void run_filters_as(OutputFilters& f, const float* sum, float* x, int32_t frames) {
    const float* k = f.poles;
    if constexpr (arithmetic == Arithmetic::rounded) {
        double f0 = f.state[0];
        double f1 = f.state[1];
        double f2 = f.state[2];
        for (int32_t i = 0; i < frames; ++i) {
            const double s = sum[i];
            f0 = rounded_to_float(rounded_to_float(rounded_to_float(f0 - s) * k[0]) + s);
            f1 = rounded_to_float(rounded_to_float(rounded_to_float(f1 - f0) * k[1]) + f0);
            f2 = rounded_to_float(rounded_to_float(rounded_to_float(f2 - f1) * k[2]) + f1);
            x[i] = static_cast<float>(f2);
        }
        f.state[0] = static_cast<float>(f0);
        f.state[1] = static_cast<float>(f1);
        f.state[2] = static_cast<float>(f2);
    } else if constexpr (arithmetic == Arithmetic::subnormal) {
        float f0 = f.state[0];
        float f1 = f.state[1];
        float f2 = f.state[2];
        for (int32_t i = 0; i < frames; ++i) {
            f0 = multiply_float(f0 - sum[i], k[0]) + sum[i];
            f1 = multiply_float(f1 - f0, k[1]) + f0;
            f2 = multiply_float(f2 - f1, k[2]) + f1;
            x[i] = f2;
        }
        f.state[0] = f0;
        f.state[1] = f1;
        f.state[2] = f2;
    } else {
        // A copy of its own, which the writes to x cannot touch.
        OutputFilters plain = f;
        for (int32_t i = 0; i < frames; ++i) {
            x[i] = plain.process(sum[i]);
        }
        f = plain;
    }
}

// A settled chain: the input holds one value all block long, and one frame
// of it leaves the three states as they were, bit for bit (a long-faded
// instrument ends like this). Then every frame does the same. Returns
// whether the block was settled, and if so has computed it.
bool try_settled_block(OutputFilters& f, const float* sum, float* x, int32_t frames) {
    const uint32_t s = std::bit_cast<uint32_t>(sum[0]);
    bool constant = true;
    for (int32_t i = 0; i < frames; ++i) {
        constant &= std::bit_cast<uint32_t>(sum[i]) == s;
    }
    if (!constant) {
        return false;
    }
    OutputFilters after = f;
    float out = 0.0f;
    run_filters_as<Arithmetic::rounded>(after, sum, &out, 1);
    for (int32_t j = 0; j < 3; ++j) {
        if (std::bit_cast<uint32_t>(after.state[j]) != std::bit_cast<uint32_t>(f.state[j])) {
            return false;
        }
    }
    std::fill(x, x + frames, out);
    return true;
}

}  // namespace

void process_filter_block(OutputFilters& f, const float* sum, float* x, int32_t frames) {
    if (frames <= 0 || try_settled_block(f, sum, x, frames)) {
        return;
    }
    switch (choose_arithmetic(f, sum, frames)) {
        case Arithmetic::plain:
            run_filters_as<Arithmetic::plain>(f, sum, x, frames);
            break;
        case Arithmetic::subnormal:
            run_filters_as<Arithmetic::subnormal>(f, sum, x, frames);
            break;
        case Arithmetic::rounded:
            run_filters_as<Arithmetic::rounded>(f, sum, x, frames);
            break;
    }
}

}  // namespace pluck
