#include "engine/synth_state.h"

#include <new>

#include "engine/pluck_handover.h"

namespace pluck {

namespace storage {
CombReverb reverb[2];
PluckedString strings[string_count];
}  // namespace storage

SynthState synth;

void reset_synth_state() {
    // Rebuilt in place: strings and reverb channels are hundreds of kilobytes
    // each, too big for temporaries on the stack.
    for (CombReverb& r : storage::reverb) {
        new (&r) CombReverb();
    }
    for (PluckedString& s : storage::strings) {
        new (&s) PluckedString();
    }
    synth.~SynthState();
    new (&synth) SynthState();
    discard_pending_plucks();
}

}  // namespace pluck
