// render_audio() computes whole blocks side by side; these tests hold it,
// bit for bit, to the plain frame-by-frame path (step(), process(), the
// filters as written) over scores that reach every corner of the engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/comb_block.h"
#include "engine/output_filters.h"
#include "engine/string_block.h"
#include "engine/synth_state.h"
#include "engine/vector_isa.h"
#include "render_comparison.h"

namespace pluck {
namespace {

// Sanitizer and unoptimised builds run the same cases over shorter renders.
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
        if (use_vector_isa(isa) != isa) {
            continue;  // not on this processor
        }
        SCOPED_TRACE(testing::Message() << "vector instructions " << static_cast<int>(isa));
        check();
    }
    use_vector_isa(VectorIsa::avx512);
}

// A float32 drawn from one of the ranges the engine's values pass through:
// ordinary, deep subnormal, around the edge of the subnormal range, or a
// zero of either sign.
float random_sample(std::mt19937& rng, int kind) {
    const float unit = static_cast<float>(static_cast<int32_t>(rng() % 65536) - 32768) / 32768.0f;
    switch (kind) {
        case 0:
            return unit;
        case 1:
            return std::ldexp(unit, -136);  // multiples of 2^-149 up to 2^-136
        case 2:
            return std::ldexp(unit, -110 - static_cast<int>(rng() % 30));  // either side of 2^-126
        default:
            return (rng() & 1) != 0 ? 0.0f : -0.0f;
    }
}

void fill_samples(std::mt19937& rng, float* samples, int32_t count, int kind) {
    for (int32_t i = 0; i < count; ++i) {
        // Kind 4 mixes all the others sample by sample.
        samples[i] = random_sample(rng, kind == 4 ? static_cast<int>(rng() % 4) : kind);
    }
}

// Two strings that must stay identical: one stepped as a block, one step by
// step. Static: each holds 88,200 samples.
PluckedString block_string;
PluckedString plain_string;

// Steps a copy of `block_string` one step at a time beside the block, and
// requires the same output and the same string afterwards.
void expect_block_matches_steps(int32_t frames, const std::string& what) {
    plain_string = block_string;
    std::vector<float> block_out(static_cast<size_t>(frames));
    step_string_block(block_string, block_out.data(), frames);
    for (int32_t i = 0; i < frames; ++i) {
        ASSERT_EQ(bits(block_out[static_cast<size_t>(i)]), bits(plain_string.step()))
            << what << ", step " << i;
    }
    ASSERT_EQ(block_string.position, plain_string.position) << what;
    ASSERT_EQ(block_string.period, plain_string.period) << what;
    ASSERT_EQ(block_string.width, plain_string.width) << what;
    ASSERT_EQ(std::memcmp(block_string.samples, plain_string.samples, sizeof block_string.samples), 0)
        << what;
}

std::string describe(int32_t period, int32_t width, float value) {
    return (testing::Message() << "period " << period << " width " << width << " value " << value)
        .GetString();
}

// Every kind of loop: periods from 1 (a single sample, averaged over and
// over) to the full capacity, widths from 1 to past the period, and block
// lengths that do and do not fill a whole pass.
TEST(BlockRender, StringBlockMatchesStepByStep) {
    for_each_vector_isa([&] {
        std::mt19937 rng(11);
        const int32_t periods[] = {1, 2, 3, 7, 8, 9, 15, 16, 17, 23, 64, 81, 162, 327, 513, 653, 4410, 88200};
        const int32_t widths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 15, 16, 17, 24, 64, 65, 200};
        const int32_t lengths[] = {1, 7, 512, 513, 1500};
        int cases = 0;
        for (int32_t period : periods) {
            for (int32_t width : widths) {
                const int kind = cases % 5;
                const int32_t frames = lengths[cases % 5];
                ++cases;
                block_string = PluckedString{};
                block_string.period = period;
                block_string.width = width;
                block_string.position =
                    static_cast<int64_t>(rng() % 1000000) * ((cases % 3) == 0 ? 10000 : 1);
                fill_samples(rng, block_string.samples, period, kind);
                expect_block_matches_steps(frames,
                                           describe(period, width, static_cast<float>(kind)) + " (kind)");
            }
        }
    });
}

// A loop settled to one constant value (the long-decayed state of every
// string) or one sample off it, read only late in the loop; in loops long
// enough to step side by side and in loops shorter than the width.
TEST(BlockRender, SettledStringMatchesStepByStep) {
    for_each_vector_isa([&] {
        for (float value :
             {0x1p-149f * 166, -0x1p-149f * 166, 0x1p-149f * 167, 0x1p-149f, 0.0f, -0.0f, 0.25f}) {
            for (int32_t period : {162, 3}) {
                for (int32_t width : {1, 2, 5, 12}) {
                    block_string = PluckedString{};
                    block_string.period = period;
                    block_string.width = width;
                    std::fill(block_string.samples, block_string.samples + period, value);
                    if (value == 0.25f) {
                        block_string.samples[period - 2] = 0.5f;
                    }
                    expect_block_matches_steps(2000, describe(period, width, value));
                }
            }
        }
    });
}

// Two reverb channels that must stay identical (static: 1.6 MB each).
CombReverb block_reverb;
CombReverb plain_reverb;

// Every row of the table, several tap counts, inputs and line contents in
// every range, and positions about to wrap round 2^32.
TEST(BlockRender, CombBlockMatchesProcess) {
    for_each_vector_isa([&] {
        std::mt19937 rng(5);
        const int32_t extra_taps[] = {2, 0, 1, 3, 4, 7, 2};
        const int32_t lengths[] = {1, 5, 512, 513, 3000};
        for (int c = 0; c < 60; ++c) {
            const int32_t preset = c % 6;  // 4 and 5 wrap round to 0 and 1
            const int32_t channel = (c / 6) % 2;
            const int32_t n = extra_taps[c % 7];
            const int32_t frames = lengths[c % 5];
            const int kind = c % 5;
            block_reverb = CombReverb{};
            for (DelayLine& line : block_reverb.lines) {
                fill_samples(rng, line.samples, 10000, kind);
                line.position = (c % 4) == 3 ? 0xffffffffu - static_cast<uint32_t>(rng() % 4000) : rng();
            }
            plain_reverb = block_reverb;
            std::vector<float> x(static_cast<size_t>(frames));
            fill_samples(rng, x.data(), frames, (c / 5) % 5);
            std::vector<float> block_out(static_cast<size_t>(frames));
            process_comb_block(block_reverb, x.data(), block_out.data(), frames, preset, channel, n);
            for (int32_t i = 0; i < frames; ++i) {
                const float expected = plain_reverb.process(x[static_cast<size_t>(i)], preset, channel, n);
                ASSERT_EQ(bits(block_out[static_cast<size_t>(i)]), bits(expected))
                    << "case " << c << " preset " << preset << " channel " << channel << " n " << n
                    << " call " << i;
            }
            ASSERT_EQ(std::memcmp(&block_reverb, &plain_reverb, sizeof block_reverb), 0)
                << "case " << c;  // no padding
        }
    });
}

// The filters as written, in float32, for comparison.
void plain_filters(float* f, const float* k, const float* sum, float* x, int32_t frames) {
    for (int32_t i = 0; i < frames; ++i) {
        f[0] = (f[0] - sum[i]) * k[0] + sum[i];
        f[1] = (f[1] - f[0]) * k[1] + f[0];
        f[2] = (f[2] - f[1]) * k[2] + f[1];
        x[i] = f[2];
    }
}

// Inputs and states in every range, including a settled input that leaves
// the filters unchanged and one that differs from it in a single frame.
TEST(BlockRender, OutputFiltersMatchThePlainChain) {
    std::mt19937 rng(3);
    for (int c = 0; c < 60; ++c) {
        reset_synth_state();
        const int kind = c % 5;
        std::vector<float> sum(512);
        fill_samples(rng, sum.data(), 512, kind);
        fill_samples(rng, synth.filter_state, 3, (c / 5) % 5);
        if (c % 6 == 5) {
            std::fill(sum.begin(), sum.end(), sum[0]);
            if (c % 12 == 11) {
                sum[400] = sum[400] * 2.0f;
            }
        }
        float f[3];
        std::copy(std::begin(synth.filter_state), std::end(synth.filter_state), f);
        std::vector<float> x(512);
        std::vector<float> expected(512);
        run_output_filters(sum.data(), x.data(), 512);
        plain_filters(f, synth.filter_coeff, sum.data(), expected.data(), 512);
        for (int i = 0; i < 512; ++i) {
            ASSERT_EQ(bits(x[static_cast<size_t>(i)]), bits(expected[static_cast<size_t>(i)]))
                << "case " << c << " frame " << i;
        }
        for (int j = 0; j < 3; ++j) {
            ASSERT_EQ(bits(synth.filter_state[j]), bits(f[j])) << "case " << c;
        }
    }
}

// Dense play across key changes, with buffers of every size between: a
// single frame, odd byte counts, several blocks' worth at once.
TEST(BlockRender, DensePlayMatchesTheReference) {
    for_each_vector_isa([&] {
        Score score = random_score(1, 1600 / length_divisor, 3);
        const uint32_t odd_sizes[] = {8, 12, 4095, 100, 8 * 1300 + 3, 7};
        for (size_t i = 0; i < score.buffer_bytes.size(); i += 37) {
            score.buffer_bytes[i] = odd_sizes[(i / 37) % std::size(odd_sizes)];
        }
        expect_same_render(score, "dense play");
    });
}

// A chord, then the sound taken straight to the edge of the subnormal
// range, where its fading values cross from ordinary to subnormal, and to
// deep in it, where they settle for good.
TEST(BlockRender, FadingIntoSubnormalsMatchesTheReference) {
    for_each_vector_isa([&] {
        for (int exponent : {96, 110, 136}) {
            Score score = random_score(2, 2000 / length_divisor, 200);
            score.scale_at = 150 / length_divisor;
            score.scale_exponent = exponent;
            expect_same_render(score, "scaled into the subnormal range");
        }
    });
}

}  // namespace
}  // namespace pluck
