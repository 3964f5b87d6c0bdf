#include "engine/string_block.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <utility>

#include "engine/float_rounding.h"
#include "engine/vector_isa.h"

namespace pluck {

namespace {

// The widest average computed side by side (or checked for a settled loop);
// wider ones step one by one.
constexpr int32_t max_block_width = 64;
// Fewer independent steps than this are not worth computing side by side.
constexpr int32_t min_run = 2;
// Steps per vector register at the widest (AVX-512: eight doubles), twice.
constexpr int32_t run_granule = 16;
// Widths up to this have their own code, with the width built in.
constexpr int32_t unrolled_widths = 16;

// decayed[k] = 0.997 * samples[k]: the term a step adds, in double.
[[gnu::always_inline]] inline void decay_entries(const float* __restrict samples, double* __restrict decayed,
                                                 int32_t count) {
    for (int32_t k = 0; k < count; ++k) {
        decayed[k] = string_decay * static_cast<double>(samples[k]);
    }
}

// The sums of `count` consecutive steps that read nothing written by each
// other: step i adds decayed[i ... i + w - 1]. The running sum starts from
// +0 (which turns a -0 first term into +0) and is rounded to float32 after
// every term.
//
// With the width known when compiling, each step's terms are summed in
// registers, steps side by side in vector lanes.
template <int32_t width>
[[gnu::always_inline]] inline void sum_steps(const double* __restrict decayed, double* __restrict sum,
                                             int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        double t = to_float(0.0 + decayed[i]);
        for (int32_t j = 1; j < width; ++j) {
            t = to_float(t + decayed[i + j]);
        }
        sum[i] = t;
    }
}

// The same for any width: one term at a time across all the steps, so that
// their rounding chains go side by side.
[[gnu::always_inline]] inline void sum_steps_any(const double* __restrict decayed, double* __restrict sum,
                                                 int32_t count, int32_t w) {
    for (int32_t i = 0; i < count; ++i) {
        sum[i] = to_float(0.0 + decayed[i]);
    }
    for (int32_t j = 1; j < w; ++j) {
        const double* __restrict term = decayed + j;
        for (int32_t i = 0; i < count; ++i) {
            sum[i] = to_float(sum[i] + term[i]);
        }
    }
}

template <int32_t... widths>
[[gnu::always_inline]] inline void sum_steps_of(std::integer_sequence<int32_t, widths...>,
                                                const double* decayed, double* sum, int32_t count,
                                                int32_t w) {
    const bool done = ((w == widths ? (sum_steps<widths>(decayed, sum, count), true) : false) || ...);
    if (!done) {
        sum_steps_any(decayed, sum, count, w);
    }
}

// Is every one of the `count` loop samples from index `base` on (wrapping
// round) the same float32 value, bit for bit, as `value`?
[[gnu::always_inline]] inline bool all_equal(const float* samples, int32_t p, int32_t base, int32_t count,
                                             float value) {
    const uint32_t want = std::bit_cast<uint32_t>(value);
    const int32_t head = std::min(count, p - base);
    bool equal = true;
    for (int32_t k = 0; k < head; ++k) {
        equal &= std::bit_cast<uint32_t>(samples[base + k]) == want;
    }
    for (int32_t k = 0; k < count - head; ++k) {
        equal &= std::bit_cast<uint32_t>(samples[k]) == want;
    }
    return equal;
}

// A string that has settled: every sample the n steps read holds one value
// c, and a step over w copies of c gives c back, bit for bit (a long-faded
// string ends like this, its loop a constant a few steps of 2^-149 from
// zero). Then every step of the pass gives c and writes c over c. Returns
// whether the pass was settled, and if so has computed it.
[[gnu::always_inline]] inline bool try_settled_pass(PluckedString& s, int32_t p, int32_t w, float* out,
                                                    int32_t n) {
    const auto base = static_cast<int32_t>((s.position + 1) % p);
    const float c = s.samples[base];
    // One step over w copies of c, with step()'s own arithmetic.
    const double term = string_decay * static_cast<double>(c);
    float t = 0.0f;
    for (int32_t j = 0; j < w; ++j) {
        t = static_cast<float>(static_cast<double>(t) + term);
    }
    const float y = static_cast<float>(rounded_to_float(static_cast<double>(t) / static_cast<double>(w)));
    if (std::bit_cast<uint32_t>(y) != std::bit_cast<uint32_t>(c) ||
        !all_equal(s.samples, p, base, std::min(n + w - 1, p), c)) {
        return false;
    }
    std::fill(out, out + n, c);
    s.position = s.position + n;
    return true;
}

// n steps of `s` (1 <= n <= render_block_frames), with p = period, w = width and
// p - w + 1 >= min_run.
//
// The loop samples the n steps read, in the order they meet them, are laid
// out in a line: entry k is the sample step k reads first, and step i
// averages entries i ... i + w - 1. The first p entries come from the loop
// as it stands; entry k >= p is what step k - p wrote. So steps whose
// indices differ by less than p - w + 1 never read each other's results,
// and runs of that many steps are computed together.
[[gnu::always_inline]] inline void step_pass(PluckedString& s, int32_t p, int32_t w, float* out, int32_t n) {
    const auto base = static_cast<int32_t>((s.position + 1) % p);
    const int32_t span = n + w - 1;
    const int32_t from_loop = std::min(span, p);

    double decayed[render_block_frames + max_block_width];
    float result[render_block_frames];

    // The loop from index `base` on, wrapping round to index 0.
    const int32_t head = std::min(from_loop, p - base);
    decay_entries(s.samples + base, decayed, head);
    decay_entries(s.samples, decayed + head, from_loop - head);

    const ExactDivisor divisor = exact_divisor(w);
    double sum[render_block_frames];
    // Runs cut to whole vectors' worth of steps (the last may be shorter).
    const int32_t independent = p - w + 1;
    const int32_t run = independent >= run_granule ? independent / run_granule * run_granule : independent;
    for (int32_t first = 0; first < n;) {
        const int32_t count = std::min(n - first, run);
        sum_steps_of(std::make_integer_sequence<int32_t, unrolled_widths + 1>{}, decayed + first, sum, count,
                     w);
        divide_rounded(sum, result + first, count, divisor);
        // Results that later steps of this pass read back as loop entries.
        const int32_t fed_back = std::min(count, span - p - first);
        if (fed_back > 0) {
            decay_entries(result + first, decayed + first + p, fed_back);
        }
        first += count;
    }

    // Each step wrote the loop index it read first; only the last p steps'
    // writes survive, each at its own index.
    const int32_t kept_from = std::max(0, n - p);
    const auto index = static_cast<int32_t>((base + static_cast<int64_t>(kept_from)) % p);
    const int32_t kept_head = std::min(n - kept_from, p - index);
    std::memcpy(s.samples + index, result + kept_from, sizeof(float) * static_cast<size_t>(kept_head));
    std::memcpy(s.samples, result + kept_from + kept_head,
                sizeof(float) * static_cast<size_t>(n - kept_from - kept_head));
    std::memcpy(out, result, sizeof(float) * static_cast<size_t>(n));
    s.position = s.position + n;
}

// step() for loops too short to compute side by side, with one remainder
// per step instead of one per term, and with its one operation that can
// meet a subnormal number slowly, the division, done in double (t / float(w)
// rounded once: the same bits).
[[gnu::always_inline]] inline float step_one(PluckedString& s, int32_t p, int32_t w) {
    s.position = s.position + 1;
    const auto first = static_cast<int32_t>(s.position % p);
    int32_t index = first;
    float t = 0.0f;
    for (int32_t j = 0; j < w; ++j) {
        t = static_cast<float>(static_cast<double>(t) + string_decay * static_cast<double>(s.samples[index]));
        index = index + 1 == p ? 0 : index + 1;
    }
    const double divisor = static_cast<float>(w);
    t = static_cast<float>(rounded_to_float(static_cast<double>(t) / divisor));
    s.samples[first] = t;
    return t;
}

[[gnu::always_inline]] inline void step_block(PluckedString& s, float* out, int32_t frames) {
    // Read once: plucks land between blocks, never inside one.
    const int32_t p = s.period;
    const int32_t w = s.width;
    assert(frames >= 0);
    if (p <= 0) {
        std::fill(out, out + std::max(frames, 0), 0.0f);
        return;
    }
    assert(p <= string_capacity_samples && w >= 1);
    const bool narrow = w >= 1 && w <= max_block_width;
    const bool side_by_side = narrow && p - w + 1 >= min_run;
    for (int32_t done = 0; done < frames;) {
        const int32_t n = std::min(frames - done, render_block_frames);
        const bool settled = narrow && try_settled_pass(s, p, w, out + done, n);
        if (!settled && side_by_side) {
            step_pass(s, p, w, out + done, n);
        } else if (!settled) {
            for (int32_t i = done; i < done + n; ++i) {
                out[i] = step_one(s, p, w);
            }
        }
        done += n;
    }
}

PLUCK_VECTOR_VARIANTS(step_string_block, step_block, (PluckedString & s, float* out, int32_t frames),
                      (s, out, frames))

}  // namespace

void step_string_block(PluckedString& s, float* out, int32_t frames) {
    PLUCK_CALL_VECTOR_VARIANT(step_string_block, (s, out, frames));
}

}  // namespace pluck
