// All state of the instrument, in one statically allocated record.
#pragma once

#include <cstdint>

#include "engine/comb_reverb.h"
#include "engine/noise_generator.h"
#include "engine/output_filters.h"
#include "engine/plucked_string.h"
#include "engine/tuning.h"

namespace pluck {

// The strings and the reverb lines: megabytes of zeros at start, kept in
// storage of their own so that they stay zero-initialised (.bss) instead of
// being carried in the program file with the few non-zero fields below. The
// reverb's two channels are built with their rows of delays at start-up.
namespace storage {
extern CombReverb reverb[2];
extern PluckedString strings[string_count];
}  // namespace storage

struct SynthState {
    // Control thread: plucks and auto-play draw from it in program order.
    NoiseGenerator noise{initial_noise_seed[0], initial_noise_seed[1], initial_noise_seed[2]};
    // Audio thread: left (0) and right (1) reverb channels.
    CombReverb (&reverb)[2] = storage::reverb;
    // Stepped by the audio thread; plucked through pluck_string(), which
    // hands each pluck over between two buffers.
    PluckedString (&strings)[string_count] = storage::strings;
    // Audio thread: the three output filters (their poles read only).
    OutputFilters filters;
};

// The one instance, for the life of the process.
extern SynthState synth;

// Advances the instrument's generator by one step and returns its output.
inline int32_t noise_next() {
    return noise_next(synth.noise);
}

// Puts every field of `synth`, and any pluck not yet handed over, back to
// how the process started. For tests and tools that run the instrument
// more than once; never while the audio thread runs.
void reset_synth_state();

}  // namespace pluck
