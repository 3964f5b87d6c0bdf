#include "engine/comb_block.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include "engine/float_rounding.h"
#include "engine/vector_isa.h"

namespace pluck {

namespace {

// A pass computes up to one render block's calls side by side, when every
// delay line is longer than that (see pass_fits), so that no call of a pass
// reads what another wrote.
// The most extra taps computed side by side; more go call by call.
constexpr int32_t max_block_extra_taps = 64;
constexpr int32_t max_span = render_block_frames + 2 * max_block_extra_taps;

// Can the pass of m calls starting now be computed side by side? Every line
// must be long enough, and no line's position may wrap round 2^32 within
// the samples the pass reads (the remainder of a wrapped position is not
// the next index).
bool pass_fits(const CombReverb& r, int32_t m, int32_t n) {
    const auto reach = static_cast<uint32_t>(m + 2 * n);
    for (int32_t d = 0; d < comb_line_count; ++d) {
        if (r.lines[d].length < reach || r.lines[d].position > std::numeric_limits<uint32_t>::max() - reach) {
            return false;
        }
    }
    return true;
}

Magnitudes worse(Magnitudes a, Magnitudes b) {
    if (a == b) {
        return a;
    }
    return Magnitudes::mixed;
}

// Call i's sum of taps: entries i, i + 2, ..., i + 2(taps - 1), added in
// order and rounded to float32 after every addition. As in the plain
// process(), the sum starts from +0: that `0 + first tap` turns a -0 first
// tap into +0, so it is not a no-op to be simplified away. As double, the
// roundings are explicit; as float, the additions are plain float32 ones
// (see Magnitudes for when those are quick).
template <typename Real>
[[gnu::always_inline]] inline void sum_taps(const Real* __restrict entries, Real* __restrict t, int32_t m,
                                            int32_t taps) {
    for (int32_t i = 0; i < m; ++i) {
        t[i] = Real(0) + entries[i];
    }
    for (int32_t j = 1; j < taps; ++j) {
        const Real* __restrict tap = entries + 2 * j;
        for (int32_t i = 0; i < m; ++i) {
            if constexpr (sizeof(Real) == sizeof(double)) {
                t[i] = to_float(t[i] + tap[i]);
            } else {
                t[i] = t[i] + tap[i];
            }
        }
    }
}

// From each call's averaged taps q: y = q + x, the line's new sample
// gain * y, and the channel's running sum acc + y, each rounded to float32.
// For mixed magnitudes every operation goes through double; otherwise the
// additions are plain float32, and the product too for ordinary ones.
template <Magnitudes magnitudes>
[[gnu::always_inline]] inline void feed_back(const float* __restrict q, const float* __restrict x,
                                             const double* __restrict wide_x, float* __restrict fed_back,
                                             float* __restrict acc, int32_t m, float gain) {
    const double wide_gain = opaque(static_cast<double>(gain));
    for (int32_t i = 0; i < m; ++i) {
        if constexpr (magnitudes == Magnitudes::mixed) {
            const double y = to_float(static_cast<double>(q[i]) + wide_x[i]);
            fed_back[i] = static_cast<float>(y * wide_gain);
            acc[i] = static_cast<float>(static_cast<double>(acc[i]) + y);
        } else {
            const float y = q[i] + x[i];
            if constexpr (magnitudes == Magnitudes::ordinary) {
                fed_back[i] = gain * y;
            } else {
                fed_back[i] = static_cast<float>(static_cast<double>(y) * wide_gain);
            }
            acc[i] = acc[i] + y;
        }
    }
}

// One line's m calls: each call's taps summed, divided by their number and
// fed back, as CombReverb::process does them, with the arithmetic suited to
// the magnitudes at hand. (In double, every loop has an operand loaded as a
// double, never only float32 values widened: see opaque().)
template <Magnitudes magnitudes>
[[gnu::always_inline]] inline void run_line(const float* __restrict entries, const float* __restrict x,
                                            const double* __restrict wide_x, float* __restrict fed_back,
                                            float* __restrict acc, int32_t m, int32_t taps, float gain) {
    float q[render_block_frames];
    if constexpr (magnitudes == Magnitudes::mixed) {
        double wide[max_span];
        double t[render_block_frames];
        const int32_t span = m + 2 * (taps - 1);
        for (int32_t k = 0; k < span; ++k) {
            wide[k] = entries[k];
        }
        sum_taps(wide, t, m, taps);
        divide_rounded(t, q, m, exact_divisor(taps));
    } else {
        float t[render_block_frames];
        sum_taps(entries, t, m, taps);
        divide_rounded(t, q, m, exact_divisor(taps));
    }
    feed_back<magnitudes>(q, x, wide_x, fed_back, acc, m, gain);
}

// m calls (1 <= m <= render_block_frames) of every line of `r`, side by side.
[[gnu::always_inline]] inline void process_pass(CombReverb& r, const float* x, float* out, int32_t m,
                                                int32_t n) {
    const int32_t taps = n + 1;
    const int32_t span = m + 2 * n;

    MagnitudeRange x_range;
    widen_range(x_range, x, m);
    const Magnitudes x_magnitudes = classify(x_range);
    Magnitudes all = x_magnitudes;

    double wide_x[render_block_frames];
    for (int32_t i = 0; i < m; ++i) {
        wide_x[i] = x[i];
    }
    float acc[render_block_frames];
    float wrapped[max_span];
    float fed_back[render_block_frames];
    std::fill(acc, acc + m, 0.0f);
    for (int32_t d = 0; d < comb_line_count; ++d) {
        DelayLine& line = r.lines[d];
        const uint32_t length = line.length;
        const auto base = static_cast<int32_t>(line.position % length);
        // The line from `base` on, wrapping round to index 0: call i's taps
        // are entries i, i + 2, ..., i + 2n.
        const float* entries = line.samples + base;
        const int32_t head = std::min(span, static_cast<int32_t>(length) - base);
        if (head < span) {
            std::memcpy(wrapped, line.samples + base, sizeof(float) * static_cast<size_t>(head));
            std::memcpy(wrapped + head, line.samples, sizeof(float) * static_cast<size_t>(span - head));
            entries = wrapped;
        }
        MagnitudeRange range = x_range;
        widen_range(range, entries, span);
        const Magnitudes magnitudes = worse(x_magnitudes, classify(range));
        all = worse(all, magnitudes);
        switch (magnitudes) {
            case Magnitudes::ordinary:
                run_line<Magnitudes::ordinary>(entries, x, wide_x, fed_back, acc, m, taps, comb_feedback[d]);
                break;
            case Magnitudes::subnormal:
                run_line<Magnitudes::subnormal>(entries, x, wide_x, fed_back, acc, m, taps, comb_feedback[d]);
                break;
            case Magnitudes::mixed:
                run_line<Magnitudes::mixed>(entries, x, wide_x, fed_back, acc, m, taps, comb_feedback[d]);
                break;
        }

        // Each call wrote the index of its first tap: m distinct indices.
        const int32_t written_head = std::min(m, static_cast<int32_t>(length) - base);
        std::memcpy(line.samples + base, fed_back, sizeof(float) * static_cast<size_t>(written_head));
        std::memcpy(line.samples, fed_back + written_head,
                    sizeof(float) * static_cast<size_t>(m - written_head));
        line.position = line.position + static_cast<uint32_t>(m);
    }

    // 0.3 * (acc + x * 0.5): the half in double, rounded; the sum in float32.
    const double dry_share = opaque(reverb_dry_share);
    if (all == Magnitudes::mixed) {
        double dry[render_block_frames];
        for (int32_t i = 0; i < m; ++i) {
            dry[i] = to_float(wide_x[i] * dry_share);
        }
        for (int32_t i = 0; i < m; ++i) {
            out[i] = static_cast<float>(to_float(static_cast<double>(acc[i]) + dry[i]) * reverb_output_gain);
        }
    } else {
        for (int32_t i = 0; i < m; ++i) {
            const auto dry = static_cast<float>(static_cast<double>(x[i]) * dry_share);
            out[i] = static_cast<float>(static_cast<double>(acc[i] + dry) * reverb_output_gain);
        }
    }
}

[[gnu::always_inline]] inline void process_block(CombReverb& r, const float* x, float* out, int32_t frames) {
    const int32_t n = r.taps - 1;
    for (int32_t done = 0; done < frames;) {
        const int32_t m = std::min(frames - done, render_block_frames);
        if (n >= 0 && n <= max_block_extra_taps && pass_fits(r, m, n)) {
            process_pass(r, x + done, out + done, m, n);
        } else {
            for (int32_t i = done; i < done + m; ++i) {
                out[i] = r.process(x[i]);
            }
        }
        done += m;
    }
}

PLUCK_VECTOR_VARIANTS(process_comb_block, process_block,
                      (CombReverb & r, const float* x, float* out, int32_t frames), (r, x, out, frames))

}  // namespace

void process_comb_block(CombReverb& r, const float* x, float* out, int32_t frames) {
    assert(frames >= 0 && r.taps >= 1);
    PLUCK_CALL_VECTOR_VARIANT(process_comb_block, (r, x, out, frames));
}

}  // namespace pluck
