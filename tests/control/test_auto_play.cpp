#include <gtest/gtest.h>

#include <cstdint>

#include "control/auto_play.h"
#include "control/clock.h"
#include "control/note_keys.h"
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

bool same_state(const NoiseGenerator& a, const NoiseGenerator& b) {
    return a.s0 == b.s0 && a.s1 == b.s1 && a.s2 == b.s2;
}

constexpr int32_t beat_offsets[7] = {10, 7, 3, 0, -7, -12, -24};

// One beat worked out on a copy of the generator: strings 0-6, each chosen
// when its draw is divisible by 7 and then drawing its period; on every 32nd
// beat two more draws move the key.
struct BeatModel {
    NoiseGenerator noise{1237, 234567, 890123};
    int32_t base_note = 109;
    int32_t beat_count = 1;
    uint32_t chosen = 0;  // strings chosen on the last beat

    void beat() {
        const int32_t base = base_note;
        chosen = 0;
        for (int32_t i = 0; i < 7; ++i) {
            if (noise_next(noise) % 7 == 0) {
                chosen |= 1u << i;
                noise_skip(noise, period_for_note(base + beat_offsets[i]));
            }
        }
        if (++beat_count % 32 == 0) {
            const int32_t up = noise_next(noise) & 8;
            const int32_t down = noise_next(noise) & 8;
            base_note = base + up / 2 - down / 2;
        }
    }
};

// Steps the sequencer 7 ms at a time until the next beat has been played.
void run_to_next_beat(VirtualTime& time) {
    const int32_t beats = synth.beat_count;
    while (synth.beat_count == beats) {
        time.now_ms += tick_interval_ms;
        auto_play_step(time.clock());
    }
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
    for (const Reading& r : {Reading{0, 1, 1, 0}, Reading{3, 2, 1, 0}, Reading{6, 3, 1, 0},
                             Reading{7, 3, 2, ticks_per_beat_reload}, Reading{13, 4, 2, 16},
                             Reading{14, 4, 2, 15}, Reading{1014, 4, 2, 14}}) {
        time.now_ms = start + r.after_start;
        auto_play_step(time.clock());
        EXPECT_EQ(time.sleeps, r.sleeps) << r.after_start;
        EXPECT_EQ(synth.beat_count, r.beat_count) << r.after_start;
        EXPECT_EQ(synth.tick_countdown, r.tick_countdown) << r.after_start;
    }
    EXPECT_EQ(synth.last_tick_ms, start + 1014);
}

// Every beat, 17 ticks after the last, draws seven choices plus each chosen
// string's period, plucks those strings at the beat's notes and widths, and
// every 32nd beat (the first on beat 31) draws two more to move the key.
TEST(AutoPlay, BeatsDrawAsTheModelAndPluckTheChosenStrings) {
    reset_synth_state();
    VirtualTime time;
    BeatModel model;
    for (int beat = 1; beat <= 100; ++beat) {
        const int32_t base_before = synth.base_note;
        const uint32_t before_ms = time.now_ms;
        run_to_next_beat(time);
        if (beat > 1) {
            EXPECT_EQ(time.now_ms - before_ms, 17 * tick_interval_ms) << "beat " << beat;
        }
        model.beat();
        ASSERT_TRUE(same_state(synth.noise, model.noise)) << "beat " << beat;
        ASSERT_EQ(synth.base_note, model.base_note) << "beat " << beat;
        apply_plucks();
        for (int32_t i = 0; i < 7; ++i) {
            if ((model.chosen & (1u << i)) != 0) {
                EXPECT_EQ(synth.strings[i].period, period_for_note(base_before + beat_offsets[i])) << beat;
                EXPECT_EQ(synth.strings[i].width, i + 2) << beat;
            }
        }
        EXPECT_EQ(synth.strings[7].period, 0) << "string 7 is never played by the auto-play";
    }
}

// A pass with a beat that plucks string 0 and Z pressed: the beat's pluck
// comes first, then Z's replaces it, with noise that follows the beat's.
TEST(AutoPlay, NoteKeyInTheSamePassAsABeatPlucksAfterItAndWins) {
    reset_synth_state();
    VirtualTime time;
    BeatModel model;
    for (;;) {  // up to the first beat that chooses string 0
        BeatModel next = model;
        next.beat();
        if ((next.chosen & 1u) != 0) {
            break;
        }
        run_to_next_beat(time);
        model.beat();
        ASSERT_LT(model.beat_count, 200);
    }
    apply_plucks();
    while (synth.tick_countdown > 0) {  // up to the tick before the beat
        time.now_ms += tick_interval_ms;
        auto_play_step(time.clock());
    }
    time.now_ms += tick_interval_ms;
    const int32_t z_period = period_for_note(synth.base_note - 24);
    play_pass(true, 1u << 0, time.clock());
    model.beat();
    EXPECT_EQ(synth.beat_count, model.beat_count);
    NoiseGenerator z_noise = model.noise;
    noise_skip(model.noise, z_period);
    EXPECT_TRUE(same_state(synth.noise, model.noise));
    apply_plucks();
    EXPECT_EQ(synth.strings[0].period, z_period);
    EXPECT_EQ(synth.strings[0].width, 12);
    EXPECT_EQ(synth.strings[0].samples[0], static_cast<float>(noise_next(z_noise)) / 32768.0f);
}

TEST(PlayPass, KeysPlayInTableOrderFromTheCurrentKey) {
    reset_synth_state();
    VirtualTime time;
    play_pass(false, (1u << 0) | (1u << 1), time.clock());
    EXPECT_EQ(time.sleeps, 0);  // no auto-play step without Space
    NoiseGenerator g{1237, 234567, 890123};
    noise_skip(g, period_for_note(85));
    NoiseGenerator second = g;  // string 1's noise continues string 0's
    noise_skip(g, period_for_note(97));
    EXPECT_TRUE(same_state(synth.noise, g));
    apply_plucks();
    EXPECT_EQ(synth.strings[0].period, 653);
    EXPECT_EQ(synth.strings[0].width, 12);
    EXPECT_EQ(synth.strings[1].width, 9);
    EXPECT_EQ(synth.strings[1].samples[0], static_cast<float>(noise_next(second)) / 32768.0f);
    EXPECT_EQ(note_key_index('V'), 3);
    EXPECT_EQ(note_key_index('k'), 7);
    EXPECT_EQ(note_key_index('a'), -1);
}

}  // namespace
}  // namespace pluck
