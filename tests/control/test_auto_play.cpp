#include <gtest/gtest.h>

#include <cstdint>

#include "control/auto_play.h"
#include "control/clock.h"
#include "control/play_pass.h"
#include "engine/plucked_string.h"
#include "engine/render.h"
#include "engine/synth_state.h"

namespace pluck {
namespace {

// Virtual time: the test sets the reading; sleeps are counted, not slept.
struct VirtualTime {
    uint32_t now_ms = 0;
    int sleeps = 0;
    Clock clock() {
        return Clock{[](void* t) { return static_cast<VirtualTime*>(t)->now_ms; },
                     [](void* t) { ++static_cast<VirtualTime*>(t)->sleeps; }, this};
    }
};

void apply_plucks() {
    float frame[2];
    render_audio(frame, sizeof frame);
}

// How many values the generator drew to go from `from` to `to`.
int32_t draws_between(NoiseGenerator from, const NoiseGenerator& to) {
    int32_t n = 0;
    while (from.s0 != to.s0 || from.s1 != to.s1 || from.s2 != to.s2) {
        noise_next(from);
        if (++n > 1000000) {
            return -1;
        }
    }
    return n;
}

// Readings 0, 3, 6 and 7 ms after the last tick, across the clock's wrap:
// only 7 ticks; every other reading sleeps; a late reading ticks once.
TEST(AutoPlay, OnlyAReadingSevenMillisecondsAfterTheLastTickTicks) {
    reset_synth_state();
    const uint32_t start = 0xfffffffcu;
    VirtualTime time{start};
    struct Reading {
        uint32_t after_start;
        int sleeps, beat_count, tick_countdown;
    };
    // The first step starts the clock; the first tick is the first beat.
    for (const Reading& r :
         {Reading{0, 1, 1, 0}, Reading{3, 2, 1, 0}, Reading{6, 3, 1, 0}, Reading{7, 3, 2, 16},
          Reading{13, 4, 2, 16}, Reading{14, 4, 2, 15}, Reading{1014, 4, 2, 14}}) {
        time.now_ms = start + r.after_start;
        auto_play_step(time.clock());
        EXPECT_EQ(time.sleeps, r.sleeps) << r.after_start;
        EXPECT_EQ(synth.beat_count, r.beat_count) << r.after_start;
        EXPECT_EQ(synth.tick_countdown, r.tick_countdown) << r.after_start;
    }
}

// Space held with Z pressed on every pass, a step every millisecond: a beat
// every 119 ms (17 ticks of 7 ms); each beat draws seven choices plus a
// loop of noise for each string it plucks, at its note from the key and
// width index + 2 (never string 7); the key moves by -4, 0 or +4 only on
// beats 31, 63, 95, with two more draws. Z's pluck, in the same pass as
// a beat, comes after the beat's and wins string 0.
TEST(AutoPlay, BeatsPluckTheirStringsAndMoveTheKeyEvery32) {
    constexpr int32_t offsets[7] = {10, 7, 3, 0, -7, -12, -24};
    reset_synth_state();
    VirtualTime time{1000};
    int32_t plucked = 0, key_moves = 0;
    uint32_t last_beat_ms = 0;
    while (synth.beat_count < 100) {
        const int32_t beats = synth.beat_count, base = synth.base_note;
        const NoiseGenerator before = synth.noise;
        for (auto& s : synth.strings) {
            s.period = 0;  // so that this beat's plucks show
        }
        ++time.now_ms;
        const bool beat = auto_play_beat_due(time.now_ms);
        play_pass(true, beat ? 1u : 0u, time.clock());
        ASSERT_EQ(synth.beat_count, beats + (beat ? 1 : 0)) << time.now_ms;
        if (!beat) {
            continue;
        }
        if (beats > 1) {
            EXPECT_EQ(time.now_ms - last_beat_ms, 119u) << "beat " << beats;
        }
        last_beat_ms = time.now_ms;
        apply_plucks();
        int32_t loops = period_for_note(synth.base_note - 24);  // Z's, drawn last, in the new key
        EXPECT_EQ(synth.strings[0].width, 12) << "beat " << beats;
        EXPECT_EQ(synth.strings[0].period, loops) << "beat " << beats;
        for (int32_t i = 1; i < 7; ++i) {
            if (synth.strings[i].period != 0) {
                EXPECT_EQ(synth.strings[i].period, period_for_note(base + offsets[i])) << "beat " << beats;
                EXPECT_EQ(synth.strings[i].width, i + 2);
                loops += synth.strings[i].period;
                ++plucked;
            }
        }
        EXPECT_EQ(synth.strings[7].period, 0);
        const bool key_beat = synth.beat_count % 32 == 0;
        const int32_t draws = draws_between(before, synth.noise) - loops - 7 - (key_beat ? 2 : 0);
        // String 0 may also have drawn a loop for the beat before Z's.
        EXPECT_TRUE(draws == 0 || draws == period_for_note(base + offsets[0])) << "beat " << beats;
        const int32_t moved = synth.base_note - base;
        EXPECT_TRUE(moved == 0 || (key_beat && (moved == 4 || moved == -4))) << "beat " << beats;
        key_moves += moved != 0;
    }
    EXPECT_GT(key_moves, 0);
    EXPECT_GT(plucked, 40) << "about one string in 7 is plucked on a beat";
    EXPECT_LT(plucked, 150);
}

TEST(PlayPass, KeysPlayInTableOrderFromTheCurrentKey) {
    reset_synth_state();
    const NoiseGenerator start = synth.noise;
    VirtualTime time;
    play_pass(false, (1u << 0) | (1u << 1), time.clock());
    EXPECT_EQ(time.sleeps, 0);  // no auto-play step without Space
    apply_plucks();
    EXPECT_EQ(synth.strings[0].period, 653);
    EXPECT_EQ(synth.strings[0].width, 12);
    EXPECT_EQ(synth.strings[1].width, 9);
    EXPECT_EQ(draws_between(start, synth.noise), 653 + synth.strings[1].period);
}

}  // namespace
}  // namespace pluck
