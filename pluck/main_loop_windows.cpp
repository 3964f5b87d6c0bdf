#include "pluck/main_loop_windows.h"

#include <windows.h>

#include "play/play_pass.h"

namespace pluck {

namespace {

void system_pause_ms(uint32_t ms, void*) {
    Sleep(ms);
}

}  // namespace

Pause system_pause() {
    return Pause{system_pause_ms, nullptr};
}

bool main_loop_pass(const KeyReader& keys, const Clock& clock, const Pause& pause,
                    const std::atomic<bool>& quit, LoopState& state) {
    if (quit.load(std::memory_order_acquire) || key_down_now(keys, vk_escape)) {
        return false;
    }
    if (state.space_was_down) {
        Sleep(0);
    } else {
        pause.pause_ms(idle_pause_ms, pause.context);
    }
    const bool space = key_down_now(keys, vk_space);
    play_pass(space, note_keys_pressed(keys), clock);
    state.space_was_down = space;
    return true;
}

void run_main_loop(const KeyReader& keys, const Clock& clock, const Pause& pause,
                   const std::atomic<bool>& quit) {
    LoopState state;
    while (main_loop_pass(keys, clock, pause, quit, state)) {
    }
}

}  // namespace pluck
