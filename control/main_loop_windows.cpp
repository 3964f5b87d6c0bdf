#include "control/main_loop_windows.h"

#include <windows.h>

#include "control/play_pass.h"

namespace pluck {

bool main_loop_pass(const KeyReader& keys, const Clock& clock, const std::atomic<bool>& quit,
                    LoopState& state) {
    if (quit.load(std::memory_order_acquire) || key_down_now(keys, vk_escape)) {
        return false;
    }
    if (state.space_was_down) {
        Sleep(0);
    } else {
        clock.sleep_1ms(clock.context);
    }
    const bool space = key_down_now(keys, vk_space);
    play_pass(space, note_keys_pressed(keys), clock);
    state.space_was_down = space;
    return true;
}

void run_main_loop(const KeyReader& keys, const Clock& clock, const std::atomic<bool>& quit) {
    LoopState state;
    while (main_loop_pass(keys, clock, quit, state)) {
    }
}

}  // namespace pluck
