// The auto-play: while Space is held, random arpeggios on a steady beat in
// the current key, with the key wandering every 32 beats.
#pragma once

#include <cstdint>

#include "engine/tuning.h"
#include "play/clock.h"

namespace pluck {

// A tick needs at least this long since the last one.
constexpr uint32_t tick_interval_ms = 7;
// Ticks between beats, less one: a beat every 17 ticks (at least 119 ms).
constexpr int32_t ticks_per_beat_reload = 16;
// Each of the seven strings is plucked on a beat with probability 1 in 7.
constexpr int32_t pluck_one_in = 7;
// The key may move, by -4, 0 or +4 semitones, on every 32nd beat.
constexpr int32_t key_change_beats = 32;

// What the auto-play keeps from one step to the next, and the key it moves.
// Control thread only: the engine never reads it.
struct AutoPlay {
    // The current key, as a note number; the note keys play around it too.
    int32_t base_note = initial_base_note;
    // Beats so far, plus one.
    int32_t beat_count = 1;
    // Ticks left before the next beat.
    int32_t tick_countdown = 0;
    // The clock at the last tick, in wrapping milliseconds; valid once
    // `started` is set by the first step.
    uint32_t last_tick_ms = 0;
    bool started = false;
};

// The one instance, for the life of the process.
extern AutoPlay auto_play;

// Puts `auto_play` back to how the process started. Goes with
// reset_synth_state(), for tests and tools that play more than once.
void reset_auto_play();

// One step of the sequencer, called on every pass of the main loop while
// Space is held. Reads `clock` for the tick rule and sleeps 1 ms on it when
// no tick is due; all randomness comes from the instrument's generator.
void auto_play_step(const Clock& clock);

// Whether an auto-play step with the clock reading `now_ms` would play a
// beat (and so may pluck), without taking it.
bool auto_play_beat_due(uint32_t now_ms);

}  // namespace pluck
