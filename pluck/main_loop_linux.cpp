#include "pluck/main_loop_linux.h"

#include <chrono>
#include <thread>

#include "engine/pluck_handover.h"
#include "play/clock.h"
#include "play/play_pass.h"
#include "system/stop_signals.h"

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

// Reads and decodes keys, playing none of them, until the keys the protocol
// reported down are up again or the wait runs out; at once when asked to
// quit again (a second signal hurries the ending, never cuts it short).
void await_key_releases(Terminal& t, KeyDecoder& decoder) {
    if (!t.keyboard_protocol) {
        return;
    }
    const uint32_t start = monotonic_ms();
    uint8_t buffer[256];
    while (keys_held(decoder) && !t.input_ended && stop_requests() < 2) {
        const uint32_t waited = monotonic_ms() - start;
        if (waited >= key_release_wait_ms) {
            return;
        }
        if (wait_for_input(t, static_cast<int>(key_release_wait_ms - waited))) {
            const ssize_t n = read_input(t, buffer, sizeof buffer);
            if (n > 0) {
                decode_keys(decoder, buffer, static_cast<size_t>(n), monotonic_ms());
            }
        }
    }
}

void await_handover() {
    const uint32_t start = monotonic_ms();
    while (plucks_pending() && stop_requests() < 2 && monotonic_ms() - start < handover_wait_ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(handover_poll_ms));
    }
}

}  // namespace

void run_main_loop(Terminal& t, KeyDecoder& decoder) {
    const Clock clock{loop_now_ms, loop_sleep_1ms, &t};
    uint8_t buffer[256];
    bool sounded = false;        // some pass has plucked or played
    uint32_t last_sound_ms = 0;  // the latest such pass
    for (;;) {
        if (take_continue_signal()) {
            resume_terminal(t, decoder);
        }
        // One read per pass: keys read before the end of input still play.
        if (wait_for_input(t, 0)) {
            const ssize_t n = read_input(t, buffer, sizeof buffer);
            if (n > 0) {
                decode_keys(decoder, buffer, static_cast<size_t>(n), monotonic_ms());
            }
        }
        const uint32_t now = monotonic_ms();
        decode_timeouts(decoder, now);

        // A terminal that ends has hung up: nobody is listening.
        if (decoder.readings.quit || quit_signalled() || (t.input_ended && t.raw)) {
            break;
        }
        // Ctrl-Z's byte suspends only when it comes from a terminal.
        const bool suspend = take_suspend_signal() || (decoder.readings.suspend && t.raw);
        decoder.readings.suspend = false;
        if (suspend) {
            await_key_releases(t, decoder);
            suspend_terminal(t, decoder);
            continue;
        }
        const bool space = space_down(decoder);
        const uint32_t pressed = take_pressed(decoder);
        play_pass(space, pressed, clock);
        // The notes ring from when the audio thread takes them, which is
        // only once the device takes sound (or, without one, keeps time).
        const bool handing_over = plucks_pending();
        if (space || pressed != 0 || handing_over) {
            sounded = true;
            last_sound_ms = monotonic_ms();
        }

        // Other input ends once its last keys have been decoded and played
        // and their notes have rung out.
        int32_t wait_ms = ms_until_timeout(decoder, now);
        if (t.input_ended && wait_ms < 0 && !space) {
            const uint32_t rung = monotonic_ms() - last_sound_ms;
            if (!sounded || rung >= ring_out_ms) {
                break;
            }
            wait_ms = handing_over ? handover_poll_ms : static_cast<int32_t>(ring_out_ms - rung);
        }
        if (!space) {
            if (wait_ms < 0 || wait_ms > idle_wait_ms) {
                wait_ms = idle_wait_ms;
            }
            wait_for_input(t, wait_ms);
        }
    }
    await_key_releases(t, decoder);
    await_handover();
}

}  // namespace pluck
