// How a pluck made on the control thread reaches a string that the audio
// thread is stepping: it lands whole, between two buffers, never inside one.
#pragma once

#include <cstdint>

namespace pluck {

// Control thread: plucks string `string_index` (0-7) at `note` with
// averaging width `width`. The string's noise is drawn from the instrument's
// generator now, in program order, so that later draws follow on exactly;
// the audio thread replays it from a copy of the generator at the start of
// its next buffer, so the pluck is heard at most one buffer later. A later
// pluck of the same string before then replaces this one, as it would have
// replaced the sound. An index outside 0-7 is ignored.
void pluck_string(int32_t string_index, int32_t note, int32_t width);

// Audio thread: applies every pluck handed over since the last call. Never
// waits: if the control thread is handing one over at this very moment,
// they all wait for the next buffer.
void apply_pending_plucks();

// Control thread: whether a pluck handed over is still waiting for the audio
// thread, which takes them only as the device takes sound.
bool plucks_pending();

// Forgets plucks not yet applied. Only while no audio thread runs.
void discard_pending_plucks();

}  // namespace pluck
