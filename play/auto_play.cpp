#include "play/auto_play.h"

#include "engine/pluck_handover.h"
#include "engine/synth_state.h"

namespace pluck {

AutoPlay auto_play;

namespace {

// A beat considers strings 0-6 in order: highest note on string 0, lowest
// on string 6; the width is the string's index plus two.
constexpr int32_t beat_offsets[7] = {10, 7, 3, 0, -7, -12, -24};
constexpr int32_t beat_string_count = 7;

void play_beat() {
    const int32_t base = auto_play.base_note;
    for (int32_t i = 0; i < beat_string_count; ++i) {
        // Each chosen string draws its noise before the next choice is drawn.
        if (noise_next() % pluck_one_in == 0) {
            pluck_string(i, base + beat_offsets[i], i + 2);
        }
    }
    auto_play.beat_count = auto_play.beat_count + 1;
    auto_play.tick_countdown = ticks_per_beat_reload;
    if (auto_play.beat_count % key_change_beats == 0) {
        // Bit 3 of each draw: +4 for the first, -4 for the second.
        const int32_t up = noise_next() & 8;
        const int32_t down = noise_next() & 8;
        auto_play.base_note = base + up / 2 - down / 2;
    }
}

}  // namespace

void reset_auto_play() {
    auto_play = AutoPlay{};
}

bool auto_play_beat_due(uint32_t now_ms) {
    // The first step only starts the clock.
    return auto_play.started && now_ms - auto_play.last_tick_ms >= tick_interval_ms &&
           auto_play.tick_countdown - 1 < 0;
}

void auto_play_step(const Clock& clock) {
    if (!auto_play.started) {
        auto_play.last_tick_ms = clock.now_ms(clock.context);
        auto_play.started = true;
    }
    const uint32_t now = clock.now_ms(clock.context);
    // Unsigned difference: right across the clock's wrap-around.
    if (now - auto_play.last_tick_ms < tick_interval_ms) {
        clock.sleep_1ms(clock.context);
        return;
    }
    auto_play.tick_countdown = auto_play.tick_countdown - 1;
    auto_play.last_tick_ms = now;  // late ticks are not caught up
    if (auto_play.tick_countdown >= 0) {
        return;
    }
    play_beat();
}

}  // namespace pluck
