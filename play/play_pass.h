// What one pass of the main loop plays.
#pragma once

#include <cstdint>

#include "play/clock.h"

namespace pluck {

// Plays one pass of the main loop after its Escape check: one auto-play
// step if Space is down, then each note key whose bit (1 << k) is set in
// `pressed`, in key order, relative to the key as read at that note.
void play_pass(bool space_down, uint32_t pressed, const Clock& clock);

}  // namespace pluck
