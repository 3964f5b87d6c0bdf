// For scripts/measure-windows: the Windows main loop's own passes, reading
// the system keyboard, with each note press printed with the performance
// counter's time, in milliseconds, at the pass that first saw it (under Wine
// that counter is Linux's monotonic clock, so the script can compare it with
// when it pressed the key). Escape ends it.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "keys/keyboard_windows.h"
#include "play/clock.h"
#include "pluck/main_loop_windows.h"

namespace {

uint16_t timed_key_state(int32_t virtual_key, void*) {
    const uint16_t state = static_cast<uint16_t>(GetAsyncKeyState(virtual_key));
    if (virtual_key != pluck::vk_escape && virtual_key != pluck::vk_space && (state & 1u) != 0) {
        LARGE_INTEGER now;
        LARGE_INTEGER frequency;
        QueryPerformanceCounter(&now);
        QueryPerformanceFrequency(&frequency);
        std::printf("pressed %c at %.3f\n", static_cast<char>(virtual_key),
                    static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart));
        std::fflush(stdout);
    }
    return state;
}

}  // namespace

int main() {
    const std::atomic<bool> quit{false};
    std::printf("ready\n");
    std::fflush(stdout);
    pluck::run_main_loop(pluck::KeyReader{timed_key_state, nullptr}, pluck::system_clock(),
                         pluck::system_pause(), quit);
    return 0;
}
