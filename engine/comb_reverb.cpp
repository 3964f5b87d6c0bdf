#include "engine/comb_reverb.h"

namespace pluck {

CombReverb::CombReverb(int32_t preset, int32_t channel, int32_t n) : taps(n + 1) {
    assert(n >= 0);
    const uint32_t row = comb_row(preset, channel);
    for (int32_t d = 0; d < comb_line_count; ++d) {
        lines[d].length = comb_delay_samples[row][d];
    }
}

}  // namespace pluck
