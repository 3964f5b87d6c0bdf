// render_audio() computes whole blocks side by side; these tests hold it,
// bit for bit, to the plain frame-by-frame path (step(), process(),
// render_audio_reference()): the string block on settled loops, the filters
// over inputs in every range, then whole performances, with every set of
// vector instructions the processor has.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

#include "engine/filter_block.h"
#include "engine/pluck_handover.h"
#include "engine/reference_render.h"
#include "engine/render.h"
#include "engine/string_block.h"
#include "engine/synth_state.h"
#include "engine/vector_isa.h"

namespace pluck {
namespace {

// Sanitizer and unoptimised builds play the same scores for a shorter time.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__OPTIMIZE__)
constexpr int length_divisor = 8;
#else
constexpr int length_divisor = 1;
#endif

uint32_t bits(float v) {
    return std::bit_cast<uint32_t>(v);
}

// Runs `check` with each set of vector instructions the processor has (the
// block functions are compiled once for each), then goes back to the best.
template <typename Check>
void for_each_vector_isa(Check check) {
    for (VectorIsa isa : {VectorIsa::baseline, VectorIsa::avx2, VectorIsa::avx512}) {
        if (use_vector_isa(isa) == isa) {
            SCOPED_TRACE(testing::Message() << "vector instructions " << static_cast<int>(isa));
            check();
        }
    }
    use_vector_isa(VectorIsa::avx512);
}

// `count` float32 values from one of the ranges the engine's values pass
// through: 0 ordinary, 1 deep subnormal (multiples of 2^-149 up to 2^-136),
// 2 either side of the edge of the subnormal range, 3 zeros of either sign;
// 4 mixes them value by value.
void fill_samples(std::mt19937& rng, float* samples, int32_t count, int kind) {
    for (int32_t i = 0; i < count; ++i) {
        const int k = kind == 4 ? static_cast<int>(rng() % 4) : kind;
        const float unit = static_cast<float>(static_cast<int32_t>(rng() % 65536) - 32768) / 32768.0f;
        const int exponent = k == 0 ? 0 : (k == 1 ? -136 : -110 - static_cast<int>(rng() % 30));
        samples[i] = k == 3 ? ((rng() & 1) != 0 ? 0.0f : -0.0f) : std::ldexp(unit, exponent);
    }
}

// Loops settled to one value (the long-faded state of every string), or one
// sample off it, read only late in the loop or, in a loop longer than a
// block, by the block's last steps alone; loops as long as a pass and
// shorter than the width; 20 hours into the sound, past 2^31 steps. (Every
// other kind of loop the performances below meet.) The block gives the
// outputs of step() and leaves the string as step() does.
TEST(BlockRender, SettledStringsMatchStepByStep) {
    static PluckedString block_string;  // 88,200 samples each
    static PluckedString plain_string;
    for_each_vector_isa([&] {
        for (float value :
             {0x1p-149f * 166, -0x1p-149f * 166, 0x1p-149f * 167, 0x1p-149f, 0.0f, -0.0f, 0.25f}) {
            for (int32_t period : {162, 3, 1000}) {
                for (int32_t width : {1, 2, 5, 12}) {
                    SCOPED_TRACE(testing::Message()
                                 << "period " << period << " width " << width << " value " << value);
                    block_string = PluckedString{};
                    block_string.position = int64_t{81000} * 40000;  // a multiple of each period
                    block_string.period = period;
                    block_string.width = width;
                    std::fill(block_string.samples, block_string.samples + period, value);
                    block_string.samples[period - 2] = value == 0.25f ? 0.5f : value;
                    block_string.samples[513 % period] = period == 1000 ? std::nextafter(value, 1.0f) : value;
                    plain_string = block_string;
                    float block_out[2000];
                    step_string_block(block_string, block_out, 2000);
                    for (int32_t i = 0; i < 2000; ++i) {
                        ASSERT_EQ(bits(block_out[i]), bits(plain_string.step())) << "step " << i;
                    }
                    ASSERT_EQ(std::memcmp(&block_string, &plain_string, sizeof block_string),
                              0);  // no padding
                }
            }
        }
    });
}

// Inputs and states in every range, including a constant input that the
// first two filters have settled to but not the third, and one that all
// three have settled to but for its last frame.
TEST(BlockRender, OutputFiltersMatchFrameByFrame) {
    std::mt19937 rng(3);
    for (int c = 0; c < 60; ++c) {
        OutputFilters block_filters;
        std::vector<float> sum(512), x(512);
        fill_samples(rng, sum.data(), 512, c % 5);
        fill_samples(rng, block_filters.state, 3, (c / 5) % 5);
        if (c % 6 == 5) {  // a constant input, the filters settled to it stage by stage
            std::fill(sum.begin(), sum.end(), sum[0]);
            block_filters.state[0] = block_filters.state[1] = sum[0];
            if (c % 12 == 11) {
                block_filters.state[2] = sum[0];
                sum[511] = sum[511] * 2.0f;
            }
        }
        OutputFilters plain_filters = block_filters;
        process_filter_block(block_filters, sum.data(), x.data(), 512);
        for (size_t i = 0; i < 512; ++i) {
            ASSERT_EQ(bits(x[i]), bits(plain_filters.process(sum[i]))) << "case " << c << " frame " << i;
        }
        ASSERT_EQ(std::memcmp(&block_filters, &plain_filters, sizeof plain_filters), 0) << "case " << c;
    }
}

// A performance from a fresh engine: `buffers` buffers of 4096 bytes (with
// `odd_sizes`, every 37th of another size: a single frame, odd byte counts,
// several blocks' worth) and before every `pluck_every`-th, plucks in the
// instrument's manner: the eight keys at their offsets and widths around a
// key that wanders by fours, now and then a whole chord, notes far below and
// above the usual range, widths far past the period. Before buffer
// `shift_at` every reverb line moves to just before its position wraps round
// 2^32, and every value the engine holds is scaled by 2^-exponent, taking
// the sound at once to the edge of, or deep into, the subnormal range.
// Returns each buffer's bytes, then the engine's own.
struct Performance {
    uint32_t seed;
    int buffers, pluck_every;
    bool odd_sizes;
    int shift_at, exponent;
};

std::vector<std::vector<unsigned char>> play(const Performance& p, FillCallback render) {
    const int32_t offsets[8] = {-24, -12, -5, 0, 3, 7, 10, 12};
    const int32_t widths[8] = {12, 9, 7, 5, 4, 3, 2, 2};
    const int32_t extreme[] = {-40, -1, 0, 5, 11, 12, 19, 20, 150, 185, 190, 197, 198, 250};
    const uint32_t odd_sizes[] = {8, 12, 4095, 100, 8 * 1300 + 3, 7};
    auto scale = [&p](auto& values) {
        for (float& v : values) {
            v = std::ldexp(v, -p.exponent);
        }
    };
    reset_synth_state();
    std::mt19937 rng(p.seed);
    int32_t key = 109;
    std::vector<std::vector<unsigned char>> out;
    for (int b = 0; b < p.buffers; ++b) {
        for (int d = 0; b == p.shift_at && d < 8; ++d) {
            DelayLine& line = synth.reverb[d / 4].lines[d % 4];
            line.position = 0xffffffffu - 997u * static_cast<uint32_t>(d);
            scale(line.samples);
            scale(synth.strings[d].samples);
        }
        if (b == p.shift_at) {
            scale(synth.filters.state);
        }
        if (b % p.pluck_every == 0) {
            key += rng() % 16 == 0 ? static_cast<int32_t>(rng() % 3) * 4 - 4 : 0;
            const uint32_t pick = rng() % 20;
            const auto k = pick == 0 ? 0 : static_cast<int32_t>(rng() % 8);
            if (pick == 0) {
                for (int32_t s = 0; s < 8; ++s) {
                    pluck_string(s, key + offsets[s], widths[s]);
                }
            } else if (pick == 1) {  // far below or above the usual range
                const int32_t note = extreme[rng() % std::size(extreme)];
                pluck_string(k, note, 1 + static_cast<int32_t>(rng() % 20));
            } else if (pick == 2) {  // short loops, any width (below 1 too: the string takes 1)
                const int32_t note = 121 + static_cast<int32_t>(rng() % 60);
                pluck_string(k, note, static_cast<int32_t>(rng() % 100) - 2);
            } else {
                pluck_string(k, key + offsets[k], widths[k]);
            }
        }
        const uint32_t bytes = p.odd_sizes && b % 37 == 0 ? odd_sizes[(b / 37) % std::size(odd_sizes)] : 4096;
        out.emplace_back(bytes, 0xAB);
        render(out.back().data(), bytes);
    }
    // Then everything the engine holds that rendering changes, byte for byte
    // (the structs have no padding): the strings, the reverb, the filters.
    static_assert(sizeof(PluckedString) == 16 + sizeof(float) * string_capacity_samples);
    static_assert(sizeof(DelayLine) == 8 + sizeof(float) * delay_capacity_samples);
    auto add_bytes = [&out](const auto& held) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&held);
        out.emplace_back(bytes, bytes + sizeof held);
    };
    add_bytes(synth.strings);
    add_bytes(synth.reverb);
    add_bytes(synth.filters);
    return out;
}

// Dense play across key changes, with buffers of every size, then a chord
// and a few notes fading from the edge of the subnormal range, where their
// values cross from ordinary to subnormal, and from deep in it, where they
// settle for good: render_audio() and the reference give the same buffers
// and leave the same engine behind.
TEST(BlockRender, PerformancesMatchTheReference) {
    for_each_vector_isa([&] {
        std::vector<Performance> performances = {
            {1, 1600 / length_divisor, 3, true, 100 / length_divisor, 0}};
        for (int exponent : {96, 110, 136}) {
            performances.push_back({2, 2000 / length_divisor, 200, false, 150 / length_divisor, exponent});
        }
        for (const Performance& p : performances) {
            const auto fast = play(p, render_audio);
            const auto plain = play(p, render_audio_reference);
            for (size_t b = 0; b < fast.size(); ++b) {
                ASSERT_TRUE(fast[b] == plain[b]) << "exponent " << p.exponent << ", buffer " << b;
            }
        }
    });
}

}  // namespace
}  // namespace pluck
