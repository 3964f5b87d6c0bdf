// Why an ALSA device gives no sound, said in one line a player can act on:
// what happened, on which device, and what to look at. Every line begins
// "pluck: no sound: ", and the output says at most one per stretch without
// sound.
#pragma once

#include <cstddef>

#include "audio/alsa_pcm.h"

namespace pluck {

enum class NoSound : int {
    cannot_open,    // opening or configuring failed (`failed_at` says which)
    not_answering,  // the open has not come back: a stopped or stuck sound server
    lost,           // the device failed while playing
};

// Writes the line, newline included, into `out` (cut to `size` bytes).
// `error` is the negative ALSA error code, unused for `not_answering`.
void describe_no_sound(char* out, size_t size, NoSound what, int error, PcmStep failed_at,
                       const char* device_name);

}  // namespace pluck
