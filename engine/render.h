// The instrument's whole signal path: eight strings, three one-pole filters,
// a stereo comb reverb and a dry share, written as device-format frames.
#pragma once

#include <cstdint>

namespace pluck {

// Fills `bytes` bytes at `buffer` with whole frames of interleaved stereo
// float32 at 44.1 kHz. Called by the audio output for every buffer.
using FillCallback = void (*)(void* buffer, uint32_t bytes);

// Audio thread: applies any plucks handed over, then renders bytes / 8
// frames from the start of `buffer`. Trailing bytes that make no whole
// frame are left untouched; with no whole frame, nothing at all changes.
void render_audio(void* buffer, uint32_t bytes);

}  // namespace pluck
