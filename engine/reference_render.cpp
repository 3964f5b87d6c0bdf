#include "engine/reference_render.h"

#include <cstring>

#include "engine/output_filters.h"
#include "engine/pluck_handover.h"
#include "engine/synth_state.h"

namespace pluck {

void render_audio_reference(void* buffer, uint32_t bytes) {
    const uint32_t frames = bytes / frame_bytes;
    if (frames == 0) {
        return;
    }
    apply_pending_plucks();

    auto* out = static_cast<unsigned char*>(buffer);
    for (uint32_t i = 0; i < frames; ++i) {
        float sum = 0.0f;
        for (PluckedString& s : synth.strings) {
            sum = sum + s.step();
        }
        const float x = synth.filters.process(sum);
        // The dry share stays in double until it meets each channel.
        const double dry = static_cast<double>(x) * dry_gain;
        const float left = static_cast<float>(static_cast<double>(synth.reverb[0].process(x)) + dry);
        const float right = static_cast<float>(static_cast<double>(synth.reverb[1].process(x)) + dry);
        // memcpy: the buffer is plain bytes and need not be float-aligned.
        std::memcpy(out + i * frame_bytes, &left, sizeof left);
        std::memcpy(out + i * frame_bytes + sizeof left, &right, sizeof right);
    }
}

}  // namespace pluck
