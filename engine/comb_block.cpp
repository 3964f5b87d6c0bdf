#include "engine/comb_block.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/float_rounding.h"
#include "engine/vector_isa.h"

namespace pluck {

namespace {

// Calls computed in one pass; longer blocks take several passes. Shorter
// than every delay line, so no call of a pass reads what another wrote.
constexpr int32_t pass_calls = 512;
// The most extra taps computed side by side; more go call by call.
constexpr int32_t max_block_extra_taps = 64;
constexpr int32_t max_span = pass_calls + 2 * max_block_extra_taps;

// Can the pass of m calls starting now be computed side by side? Every line
// must be long enough, and no line's position may wrap round 2^32 within
// the samples the pass reads (the remainder of a wrapped position is not
// the next index).
bool pass_fits(const CombReverb& r, uint32_t row, int32_t m, int32_t n) {
    const auto reach = static_cast<uint32_t>(m + 2 * n);
    for (int32_t d = 0; d < comb_line_count; ++d) {
        if (comb_delay_samples[row][d] < reach ||
            r.lines[d].position > std::numeric_limits<uint32_t>::max() - reach) {
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

// One line's m calls. `taps` entries two apart from entries[i] make call
// i's sum t; then y = t / taps + x, the line's new sample gain * y, and
// the channel's running sum acc + y, every operation rounded to float32.
// For ordinary and subnormal magnitudes the additions are plain float32
// ones (see Magnitudes); a multiply or divide goes through double wherever
// subnormal operands are to be expected.
//
// (In double, every loop has an operand loaded as a double, never only
// float32 values widened: see opaque().)
template <Magnitudes magnitudes>
[[gnu::always_inline]] inline void run_line(const float* __restrict entries, const float* __restrict x,
                                            const double* __restrict wide_x, float* __restrict fed_back,
                                            float* __restrict acc, int32_t m, int32_t taps, float gain) {
    const bool by_reciprocal = reciprocal_is_exact(taps);
    const double reciprocal = opaque(1.0 / static_cast<double>(taps));
    const double divisor = opaque(static_cast<double>(taps));
    const double wide_gain = opaque(static_cast<double>(gain));
    if constexpr (magnitudes == Magnitudes::mixed) {
        double wide[max_span];
        double t[pass_calls];
        double y[pass_calls];
        const int32_t span = m + 2 * (taps - 1);
        for (int32_t k = 0; k < span; ++k) {
            wide[k] = entries[k];
        }
        // The sum starts from +0, which turns a -0 first tap into +0.
        for (int32_t i = 0; i < m; ++i) {
            t[i] = 0.0 + wide[i];
        }
        for (int32_t j = 1; j < taps; ++j) {
            const double* __restrict tap = wide + 2 * j;
            for (int32_t i = 0; i < m; ++i) {
                t[i] = to_float(t[i] + tap[i]);
            }
        }
        if (by_reciprocal) {
            for (int32_t i = 0; i < m; ++i) {
                y[i] = to_float(to_float(t[i] * reciprocal) + wide_x[i]);
            }
        } else {
            for (int32_t i = 0; i < m; ++i) {
                y[i] = to_float(to_float(t[i] / divisor) + wide_x[i]);
            }
        }
        for (int32_t i = 0; i < m; ++i) {
            fed_back[i] = static_cast<float>(y[i] * wide_gain);
            acc[i] = static_cast<float>(static_cast<double>(acc[i]) + y[i]);
        }
    } else {
        float t[pass_calls];
        for (int32_t i = 0; i < m; ++i) {
            t[i] = 0.0f + entries[i];
        }
        for (int32_t j = 1; j < taps; ++j) {
            const float* __restrict tap = entries + 2 * j;
            for (int32_t i = 0; i < m; ++i) {
                t[i] = t[i] + tap[i];
            }
        }
        float q[pass_calls];
        if (by_reciprocal) {
            for (int32_t i = 0; i < m; ++i) {
                q[i] = static_cast<float>(static_cast<double>(t[i]) * reciprocal);
            }
        } else {
            for (int32_t i = 0; i < m; ++i) {
                q[i] = static_cast<float>(static_cast<double>(t[i]) / divisor);
            }
        }
        for (int32_t i = 0; i < m; ++i) {
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

// m calls (1 <= m <= pass_calls) of every line of `r`, side by side.
[[gnu::always_inline]] inline void process_pass(CombReverb& r, const float* x, float* out, int32_t m,
                                                uint32_t row, int32_t n) {
    const int32_t taps = n + 1;
    const int32_t span = m + 2 * n;

    MagnitudeRange x_range;
    widen_range(x_range, x, m);
    const Magnitudes x_magnitudes = classify(x_range);
    Magnitudes all = x_magnitudes;

    double wide_x[pass_calls];
    for (int32_t i = 0; i < m; ++i) {
        wide_x[i] = x[i];
    }
    float acc[pass_calls];
    float wrapped[max_span];
    float fed_back[pass_calls];
    std::fill(acc, acc + m, 0.0f);
    for (int32_t d = 0; d < comb_line_count; ++d) {
        DelayLine& line = r.lines[d];
        const uint32_t length = comb_delay_samples[row][d];
        line.length = length;
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
        double dry[pass_calls];
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

[[gnu::always_inline]] inline void process_block(CombReverb& r, const float* x, float* out, int32_t frames,
                                                 int32_t preset, int32_t channel, int32_t n) {
    const uint32_t row = static_cast<uint32_t>(preset) % reverb_preset_count +
                         reverb_preset_count * (static_cast<uint32_t>(channel) % 2);
    for (int32_t done = 0; done < frames;) {
        const int32_t m = std::min(frames - done, pass_calls);
        if (n >= 0 && n <= max_block_extra_taps && pass_fits(r, row, m, n)) {
            process_pass(r, x + done, out + done, m, row, n);
        } else {
            for (int32_t i = done; i < done + m; ++i) {
                out[i] = r.process(x[i], preset, channel, n);
            }
        }
        done += m;
    }
}

PLUCK_VECTOR_VARIANTS(process_comb_block, process_block,
                      (CombReverb & r, const float* x, float* out, int32_t frames, int32_t preset,
                       int32_t channel, int32_t n),
                      (r, x, out, frames, preset, channel, n))

}  // namespace

void process_comb_block(CombReverb& r, const float* x, float* out, int32_t frames, int32_t preset,
                        int32_t channel, int32_t n) {
    PLUCK_CALL_VECTOR_VARIANT(process_comb_block, (r, x, out, frames, preset, channel, n));
}

}  // namespace pluck
