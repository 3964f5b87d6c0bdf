#include "engine/synth_state.h"

#include <new>

#include "engine/pluck_handover.h"

namespace pluck {

namespace storage {
CombReverb reverb[2] = {CombReverb(reverb_preset, 0, reverb_extra_taps),
                        CombReverb(reverb_preset, 1, reverb_extra_taps)};
PluckedString strings[string_count];
}  // namespace storage

SynthState synth;

void reset_synth_state() {
    // Rebuilt in place: strings and reverb channels are hundreds of kilobytes
    // each, too big for temporaries on the stack.
    for (int32_t channel = 0; channel < 2; ++channel) {
        new (&storage::reverb[channel]) CombReverb(reverb_preset, channel, reverb_extra_taps);
    }
    for (PluckedString& s : storage::strings) {
        new (&s) PluckedString();
    }
    synth.~SynthState();
    new (&synth) SynthState();
    discard_pending_plucks();
}

}  // namespace pluck
