// The control thread's loop on Windows: polls the system's keyboard state,
// quits on Escape, runs the auto-play while Space is held and plucks the
// note keys pressed.
#pragma once

#include <atomic>

#include "control/clock.h"
#include "control/keyboard_windows.h"

namespace pluck {

// What the loop carries from one pass to the next.
struct LoopState {
    bool space_was_down = false;
};

// One pass, in this order: Escape (or `quit`) ends the loop before anything
// is played (returns false); a pause; one auto-play step if Space is down
// now; the note keys pressed since the last pass, in key order. The pause
// is the clock's 1 ms sleep while Space was up on the previous pass, which
// keeps an idle instrument off the processor, and only a yield while it is
// held, when the auto-play paces the loop with its own 1 ms sleeps.
bool main_loop_pass(const KeyReader& keys, const Clock& clock, const std::atomic<bool>& quit,
                    LoopState& state);

// Passes until one ends the loop.
void run_main_loop(const KeyReader& keys, const Clock& clock, const std::atomic<bool>& quit);

}  // namespace pluck
