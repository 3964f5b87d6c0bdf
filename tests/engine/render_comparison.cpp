#include "render_comparison.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>

#include "engine/pluck_handover.h"
#include "engine/reference_render.h"
#include "engine/render.h"
#include "engine/synth_state.h"

namespace pluck {

namespace {

void scale_everything(int exponent) {
    for (PluckedString& s : synth.strings) {
        for (float& v : s.samples) {
            v = std::ldexp(v, -exponent);
        }
    }
    for (CombReverb& r : synth.reverb) {
        for (DelayLine& line : r.lines) {
            for (float& v : line.samples) {
                v = std::ldexp(v, -exponent);
            }
        }
    }
    for (float& v : synth.filter_state) {
        v = std::ldexp(v, -exponent);
    }
}

// Everything the engine holds that rendering changes.
struct EngineState {
    std::vector<PluckedString> strings{string_count};
    std::vector<CombReverb> reverb{2};
    float filter_state[3] = {};
};

std::unique_ptr<EngineState> save_state() {
    auto state = std::make_unique<EngineState>();
    std::copy(std::begin(synth.strings), std::end(synth.strings), state->strings.begin());
    std::copy(std::begin(synth.reverb), std::end(synth.reverb), state->reverb.begin());
    std::copy(std::begin(synth.filter_state), std::end(synth.filter_state), state->filter_state);
    return state;
}

// Each buffer's samples as exact bits, kept whole for short scores and as a
// 64-bit FNV-1a hash per buffer for long ones.
struct Rendering {
    std::vector<std::vector<uint32_t>> buffers;
    std::vector<uint64_t> hashes;
};

constexpr size_t kept_whole = 4000;

Rendering play(const Score& score, FillCallback render) {
    reset_synth_state();
    Rendering out;
    const bool whole = score.buffer_bytes.size() <= kept_whole;
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
            std::vector<uint32_t> words((buffer.size() + 3) / 4);
            std::memcpy(words.data(), buffer.data(), buffer.size());
            out.buffers.push_back(std::move(words));
        } else {
            uint64_t h = 14695981039346656037ull;
            for (unsigned char c : buffer) {
                h = (h ^ c) * 1099511628211ull;
            }
            out.hashes.push_back(h);
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
    const Rendering fast = play(score, render_audio);
    const std::unique_ptr<EngineState> fast_state = save_state();
    const Rendering plain = play(score, render_audio_reference);

    for (size_t b = 0; b < fast.buffers.size(); ++b) {
        for (size_t i = 0; i < fast.buffers[b].size(); ++i) {
            ASSERT_EQ(fast.buffers[b][i], plain.buffers[b][i])
                << what << ": buffer " << b << ", sample " << i;
        }
    }
    for (size_t b = 0; b < fast.hashes.size(); ++b) {
        ASSERT_EQ(fast.hashes[b], plain.hashes[b]) << what << ": buffer " << b << " differs";
    }
    for (int k = 0; k < string_count; ++k) {
        const PluckedString& a = fast_state->strings[static_cast<size_t>(k)];
        const PluckedString& b = synth.strings[k];
        ASSERT_EQ(a.position, b.position) << what << ", string " << k;
        ASSERT_EQ(a.period, b.period) << what << ", string " << k;
        ASSERT_EQ(std::memcmp(a.samples, b.samples, sizeof a.samples), 0) << what << ", string " << k;
    }
    for (int c = 0; c < 2; ++c) {
        for (int d = 0; d < comb_line_count; ++d) {
            const DelayLine& a = fast_state->reverb[static_cast<size_t>(c)].lines[d];
            const DelayLine& b = synth.reverb[c].lines[d];
            ASSERT_EQ(a.position, b.position) << what << ", reverb " << c << " line " << d;
            ASSERT_EQ(std::memcmp(a.samples, b.samples, sizeof a.samples), 0)
                << what << ", reverb " << c << " line " << d;
        }
    }
    for (int j = 0; j < 3; ++j) {
        ASSERT_EQ(std::memcmp(&fast_state->filter_state[j], &synth.filter_state[j], sizeof(float)), 0)
            << what << ", filter " << j;
    }
}

}  // namespace pluck
