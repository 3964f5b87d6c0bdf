#include "engine/render.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "engine/comb_block.h"
#include "engine/filter_block.h"
#include "engine/float_rounding.h"
#include "engine/pluck_handover.h"
#include "engine/string_block.h"
#include "engine/synth_state.h"
#include "engine/vector_isa.h"

namespace pluck {

namespace {

// One string's outputs added into the running sum of the strings before
// it, in float32: plainly where both are ordinary or both subnormal (see
// Magnitudes), otherwise in double and rounded.
[[gnu::always_inline]] inline void add_voice(float* __restrict sum, Magnitudes& sum_magnitudes,
                                             const float* __restrict voice, int32_t frames) {
    MagnitudeRange range;
    widen_range(range, voice, frames);
    const Magnitudes voice_magnitudes = classify(range);
    if (voice_magnitudes == sum_magnitudes && voice_magnitudes != Magnitudes::mixed) {
        for (int32_t i = 0; i < frames; ++i) {
            sum[i] = sum[i] + voice[i];
        }
        if (sum_magnitudes == Magnitudes::ordinary) {
            // Not classified again: a near cancellation may have left values
            // below 2^-100, so from here `ordinary` only promises multiples
            // of 2^-123. That is all the plain addition of the next ordinary
            // voice needs (such sums are never subnormal); the filters
            // classify the finished sum for themselves.
            return;
        }
    } else {
        double wide[render_block_frames];
        for (int32_t i = 0; i < frames; ++i) {
            wide[i] = voice[i];
        }
        for (int32_t i = 0; i < frames; ++i) {
            sum[i] = static_cast<float>(static_cast<double>(sum[i]) + wide[i]);
        }
    }
    MagnitudeRange sum_range;
    widen_range(sum_range, sum, frames);
    sum_magnitudes = classify(sum_range);
}

// Each channel's reverb plus the dry share, which stays in double until it
// meets the channel; written as interleaved frames.
[[gnu::always_inline]] inline void mix_out(const float* __restrict x, const float* __restrict left,
                                           const float* __restrict right, float* __restrict frames_out,
                                           int32_t frames) {
    for (int32_t i = 0; i < frames; ++i) {
        const double dry = static_cast<double>(x[i]) * dry_gain;
        frames_out[2 * i] = static_cast<float>(static_cast<double>(left[i]) + dry);
        frames_out[2 * i + 1] = static_cast<float>(static_cast<double>(right[i]) + dry);
    }
}

// One block, 1 to render_block_frames frames, through every stage in turn.
[[gnu::always_inline]] inline void render_one_block(unsigned char* out, int32_t frames) {
    float sum[render_block_frames];
    float voice[render_block_frames];
    float x[render_block_frames];
    float left[render_block_frames];
    float right[render_block_frames];
    float interleaved[2 * render_block_frames];

    std::fill(sum, sum + frames, 0.0f);
    Magnitudes sum_magnitudes = Magnitudes::ordinary;  // all zero
    for (PluckedString& s : synth.strings) {
        step_string_block(s, voice, frames);
        add_voice(sum, sum_magnitudes, voice, frames);
    }
    process_filter_block(synth.filters, sum, x, frames);
    process_comb_block(synth.reverb[0], x, left, frames);
    process_comb_block(synth.reverb[1], x, right, frames);
    mix_out(x, left, right, interleaved, frames);
    // memcpy: the buffer is plain bytes and need not be float-aligned.
    std::memcpy(out, interleaved, static_cast<size_t>(frames) * frame_bytes);
}

PLUCK_VECTOR_VARIANTS(render_block, render_one_block, (unsigned char* out, int32_t frames), (out, frames))

}  // namespace

void render_audio(void* buffer, uint32_t bytes) {
    const uint32_t frames = bytes / frame_bytes;
    if (frames == 0) {
        return;
    }
    assert(buffer != nullptr);
    apply_pending_plucks();

    auto* out = static_cast<unsigned char*>(buffer);
    for (uint32_t done = 0; done < frames;) {
        const auto n = static_cast<int32_t>(std::min<uint32_t>(frames - done, render_block_frames));
        PLUCK_CALL_VECTOR_VARIANT(render_block, (out + static_cast<size_t>(done) * frame_bytes, n));
        done += static_cast<uint32_t>(n);
    }
}

}  // namespace pluck
