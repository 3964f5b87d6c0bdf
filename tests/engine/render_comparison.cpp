#include "render_comparison.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <random>

#include "engine/pluck_handover.h"
#include "engine/reference_render.h"
#include "engine/render.h"
#include "engine/synth_state.h"

namespace pluck {

namespace {

void scale_everything(int exponent) {
    auto scale = [exponent](auto& values) {
        for (float& v : values) {
            v = std::ldexp(v, -exponent);
        }
    };
    for (PluckedString& s : synth.strings) {
        scale(s.samples);
    }
    for (CombReverb& r : synth.reverb) {
        for (DelayLine& line : r.lines) {
            scale(line.samples);
        }
    }
    scale(synth.filter_state);
}

// Everything the engine holds that rendering changes, byte for byte (the
// structs have no padding): the strings, then the reverb, then the filters.
static_assert(sizeof(PluckedString) == 16 + sizeof(float) * string_capacity_samples);
static_assert(sizeof(DelayLine) == 8 + sizeof(float) * delay_capacity_samples);
std::vector<unsigned char> engine_bytes() {
    constexpr size_t strings = sizeof synth.strings;
    constexpr size_t reverb = sizeof synth.reverb;
    std::vector<unsigned char> out(strings + reverb + sizeof synth.filter_state);
    std::memcpy(out.data(), synth.strings, strings);
    std::memcpy(out.data() + strings, synth.reverb, reverb);
    std::memcpy(out.data() + strings + reverb, synth.filter_state, sizeof synth.filter_state);
    return out;
}

// Each buffer's samples as exact bits for short scores, and for long ones
// as a 64-bit FNV-1a hash of its bytes.
std::vector<std::vector<uint32_t>> play(const Score& score, FillCallback render) {
    reset_synth_state();
    std::vector<std::vector<uint32_t>> out;
    const bool whole = score.buffer_bytes.size() <= 4000;
    std::vector<unsigned char> buffer;
    size_t next = 0;
    for (size_t b = 0; b < score.buffer_bytes.size(); ++b) {
        if (static_cast<int>(b) == score.scale_at) {
            scale_everything(score.scale_exponent);
        }
        for (; next < score.plucks.size() && score.plucks[next].buffer == static_cast<int>(b); ++next) {
            pluck_string(score.plucks[next].string, score.plucks[next].note, score.plucks[next].width);
        }
        buffer.assign(score.buffer_bytes[b], 0xAB);
        render(buffer.data(), score.buffer_bytes[b]);
        if (whole) {
            out.emplace_back((buffer.size() + 3) / 4);
            std::memcpy(out.back().data(), buffer.data(), buffer.size());
        } else {
            uint64_t h = 14695981039346656037ull;
            for (unsigned char c : buffer) {
                h = (h ^ c) * 1099511628211ull;
            }
            out.push_back({static_cast<uint32_t>(h), static_cast<uint32_t>(h >> 32)});
        }
    }
    return out;
}

}  // namespace

Score random_score(uint32_t seed, int buffers, int pluck_every) {
    std::mt19937 rng(seed);
    const int32_t offsets[8] = {-24, -12, -5, 0, 3, 7, 10, 12};
    const int32_t widths[8] = {12, 9, 7, 5, 4, 3, 2, 2};
    const int32_t extreme[] = {-40, -1, 0, 5, 11, 12, 19, 20, 150, 185, 190, 197, 198, 250};
    Score score;
    int32_t key = 109;
    for (int b = 0; b < buffers; ++b) {
        score.buffer_bytes.push_back(4096);
        if (b % pluck_every != 0) {
            continue;
        }
        if (rng() % 16 == 0) {
            key += static_cast<int32_t>(rng() % 3) * 4 - 4;
        }
        const uint32_t pick = rng() % 20;
        if (pick == 0) {
            for (int32_t k = 0; k < 8; ++k) {
                score.plucks.push_back({b, k, key + offsets[k], widths[k]});
            }
        } else if (pick == 1) {
            score.plucks.push_back({b, static_cast<int32_t>(rng() % 8), extreme[rng() % std::size(extreme)],
                                    1 + static_cast<int32_t>(rng() % 20)});
        } else if (pick == 2) {
            // High notes with short loops, any width (0 and negative ones
            // included: the string takes 1).
            score.plucks.push_back({b, static_cast<int32_t>(rng() % 8),
                                    121 + static_cast<int32_t>(rng() % 60),
                                    static_cast<int32_t>(rng() % 100) - 2});
        } else {
            const auto k = static_cast<int32_t>(rng() % 8);
            score.plucks.push_back({b, k, key + offsets[k], widths[k]});
        }
    }
    return score;
}

void expect_same_render(const Score& score, const char* what) {
    const std::vector<std::vector<uint32_t>> fast = play(score, render_audio);
    const std::vector<unsigned char> fast_state = engine_bytes();
    const std::vector<std::vector<uint32_t>> plain = play(score, render_audio_reference);
    for (size_t b = 0; b < fast.size(); ++b) {
        const auto differs = std::mismatch(fast[b].begin(), fast[b].end(), plain[b].begin()).first;
        ASSERT_TRUE(differs == fast[b].end())
            << what << ": buffer " << b << ", word " << differs - fast[b].begin();
    }
    const std::vector<unsigned char> plain_state = engine_bytes();
    const auto differs = std::mismatch(fast_state.begin(), fast_state.end(), plain_state.begin()).first;
    ASSERT_TRUE(differs == fast_state.end())
        << what << ": the engine's state differs at byte " << differs - fast_state.begin() << " (strings "
        << sizeof synth.strings << " bytes, then the reverb " << sizeof synth.reverb << ")";
}

}  // namespace pluck
