// The control thread's loop on Windows: polls the system's keyboard state,
// quits on Escape, runs the auto-play while Space is held and plucks the
// note keys pressed.
#pragma once

#include <atomic>
#include <cstdint>

#include "keys/keyboard_windows.h"
#include "play/clock.h"

namespace pluck {

// How long a pass pauses while Space is up: the keys are polled, so this
// bounds how late a press is seen, and it keeps an idle instrument off the
// processor. Under Wine a pass every millisecond cost 2 % of a core, one
// every 4 ms 0.5 %. Windows wakes a sleeper on its timer tick, by default
// every 15.6 ms, which the program leaves as it finds it.
constexpr uint32_t idle_pause_ms = 4;

// The idle pause: the system's Sleep, or a test's count.
struct Pause {
    void (*pause_ms)(uint32_t ms, void* context);
    void* context;
};

Pause system_pause();

// What the loop carries from one pass to the next.
struct LoopState {
    bool space_was_down = false;
};

// One pass, in this order: Escape (or `quit`) ends the loop before anything
// is played (returns false); a pause; one auto-play step if Space is down
// now; the note keys pressed since the last pass, in key order. The pause
// is `idle_pause_ms` while Space was up on the previous pass, and only a
// yield while it is held, when the auto-play paces the loop with its own
// 1 ms sleeps.
bool main_loop_pass(const KeyReader& keys, const Clock& clock, const Pause& pause,
                    const std::atomic<bool>& quit, LoopState& state);

// Passes until one ends the loop.
void run_main_loop(const KeyReader& keys, const Clock& clock, const Pause& pause,
                   const std::atomic<bool>& quit);

}  // namespace pluck
