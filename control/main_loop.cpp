#include "control/main_loop.h"

#include "control/clock.h"
#include "control/play_pass.h"

namespace pluck {

namespace {

uint32_t monotonic_ms() {
    static const Clock system = system_clock();
    return system.now_ms(system.context);
}

uint32_t loop_now_ms(void*) {
    return monotonic_ms();
}

// The auto-play's pause between ticks: at least 1 ms unless a key comes.
void loop_sleep_1ms(void* context) {
    wait_for_input(*static_cast<const Terminal*>(context), 1);
}

}  // namespace

void run_main_loop(Terminal& t, KeyDecoder& decoder) {
    const Clock clock{loop_now_ms, loop_sleep_1ms, &t};
    uint8_t buffer[256];
    bool end_of_input = false;
    for (;;) {
        // Ctrl-Z's byte suspends only when it comes from a terminal.
        if (take_suspend_signal() || (decoder.suspend && t.raw)) {
            suspend_terminal(t, decoder);
        }
        decoder.suspend = false;
        if (take_continue_signal()) {
            resume_terminal(t, decoder);
        }
        // One read per pass: keys read before the end of input still play.
        if (wait_for_input(t, 0)) {
            const ssize_t n = read_input(t, buffer, sizeof buffer);
            if (n == 0) {
                end_of_input = true;
            } else if (n > 0) {
                decode_keys(decoder, buffer, static_cast<size_t>(n), monotonic_ms());
            }
        }
        decode_timeouts(decoder, monotonic_ms());

        if (decoder.quit || end_of_input || quit_signalled()) {
            break;
        }
        const bool space = space_down(decoder);
        play_pass(space, take_pressed(decoder), clock);

        if (!space) {
            int wait_ms = ms_until_timeout(decoder, monotonic_ms());
            if (wait_ms < 0 || wait_ms > idle_wait_ms) {
                wait_ms = idle_wait_ms;
            }
            wait_for_input(t, wait_ms);
        }
    }
}

}  // namespace pluck
