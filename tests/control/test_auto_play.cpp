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
};

uint32_t virtual_now(void* context) {
    return static_cast<VirtualTime*>(context)->now_ms;
}

void virtual_sleep(void* context) {
    ++static_cast<VirtualTime*>(context)->sleeps;
}

Clock clock_on(VirtualTime& time) {
    return Clock{virtual_now, virtual_sleep, &time};
}

void apply_plucks() {
    float frame[2];
    render_audio(frame, sizeof frame);
}

bool same_state(const NoiseGenerator& a, const NoiseGenerator& b) {
    return a.s0 == b.s0 && a.s1 == b.s1 && a.s2 == b.s2;
}

// What one beat does, worked out on a copy of the generator from the rules
// of the sequencer: strings 0-6 at +10, +7, +3, 0, -7, -12, -24, each chosen
// when its draw is divisible by 7, then the key change every 32nd beat.
struct BeatModel {
    NoiseGenerator noise{1237, 234567, 890123};
    int32_t base_note = 109;
    int32_t beat_count = 1;
    uint32_t chosen = 0;  // strings chosen on the last beat

    void beat() {
        static constexpr int32_t offsets[7] = {10, 7, 3, 0, -7, -12, -24};
        const int32_t base = base_note;
        chosen = 0;
        for (int32_t i = 0; i < 7; ++i) {
            if (noise_next(noise) % 7 == 0) {
                chosen |= 1u << i;
                noise_skip(noise, period_for_note(base + offsets[i]));
            }
        }
        ++beat_count;
        if (beat_count % 32 == 0) {
            const int32_t up = noise_next(noise) & 8;
            const int32_t down = noise_next(noise) & 8;
            base_note = base + up / 2 - down / 2;
        }
    }
};

// Steps the sequencer 7 ms at a time until the next beat has been played.
void run_to_next_beat(VirtualTime& time) {
    const Clock clock = clock_on(time);
    const int32_t beats = synth.beat_count;
    while (synth.beat_count == beats) {
        time.now_ms += tick_interval_ms;
        auto_play_step(clock);
    }
}

TEST(AutoPlay, OnlyAReadingSevenMillisecondsAfterTheLastTickTicks) {
    reset_synth_state();
    VirtualTime time{1000};
    const Clock clock = clock_on(time);
    auto_play_step(clock);  // first use: the clock starts here
    for (uint32_t after : {3u, 6u}) {
        time.now_ms = 1000 + after;
        auto_play_step(clock);
    }
    EXPECT_EQ(time.sleeps, 3);
    EXPECT_EQ(synth.beat_count, 1);
    time.now_ms = 1007;  // the first tick is the first beat (countdown 0)
    auto_play_step(clock);
    EXPECT_EQ(time.sleeps, 3);
    EXPECT_EQ(synth.beat_count, 2);
    EXPECT_EQ(synth.tick_countdown, ticks_per_beat_reload);
    EXPECT_EQ(synth.last_tick_ms, 1007u);
    // Timed from that tick, not from when it was due.
    time.now_ms = 1013;
    auto_play_step(clock);
    EXPECT_EQ(time.sleeps, 4);
    EXPECT_EQ(synth.tick_countdown, 16);
    time.now_ms = 1014;
    auto_play_step(clock);
    EXPECT_EQ(synth.tick_countdown, 15);
    EXPECT_EQ(time.sleeps, 4);
}

TEST(AutoPlay, BeatComesEverySeventeenTicksAndLateTicksAreNotCaughtUp) {
    reset_synth_state();
    VirtualTime time{0};
    run_to_next_beat(time);
    const uint32_t first_beat_ms = time.now_ms;
    run_to_next_beat(time);
    EXPECT_EQ(time.now_ms - first_beat_ms, 17 * tick_interval_ms);
    // A pass that comes a second late ticks once, not 140 times.
    time.now_ms += 1000;
    auto_play_step(clock_on(time));
    EXPECT_EQ(synth.tick_countdown, ticks_per_beat_reload - 1);
}

TEST(AutoPlay, ClockWrapAroundStillMeasuresTheDifference) {
    reset_synth_state();
    VirtualTime time{0xfffffffcu};
    const Clock clock = clock_on(time);
    auto_play_step(clock);
    time.now_ms = 2;  // 6 ms later, across the wrap
    auto_play_step(clock);
    EXPECT_EQ(synth.beat_count, 1);
    EXPECT_EQ(time.sleeps, 2);
    time.now_ms = 3;  // 7 ms later
    auto_play_step(clock);
    EXPECT_EQ(synth.beat_count, 2);
    EXPECT_EQ(synth.last_tick_ms, 3u);
}

// Every beat draws seven choices plus, for each chosen string, its period in
// noise values; the 31st beat draws two more and moves the key by -4, 0 or
// +4 from the key read at the start of that beat.
TEST(AutoPlay, BeatsDrawSevenChoicesPlusPeriodsAndTheKeyMovesOnBeat31) {
    reset_synth_state();
    VirtualTime time{0};
    BeatModel model;
    int beats_with_no_string = 0;
    for (int beat = 1; beat <= 40; ++beat) {
        const NoiseGenerator before = synth.noise;
        const int32_t base_before = synth.base_note;
        run_to_next_beat(time);
        model.beat();
        ASSERT_TRUE(same_state(synth.noise, model.noise)) << "beat " << beat;
        ASSERT_EQ(synth.base_note, model.base_note) << "beat " << beat;
        if (model.chosen == 0 && beat != 31) {
            NoiseGenerator seven = before;
            noise_skip(seven, 7);
            EXPECT_TRUE(same_state(synth.noise, seven)) << "beat " << beat;
            ++beats_with_no_string;
        }
        if (beat != 31) {
            EXPECT_EQ(synth.base_note, base_before) << "beat " << beat;
        } else {
            EXPECT_TRUE(synth.base_note == base_before - 4 || synth.base_note == base_before ||
                        synth.base_note == base_before + 4);
        }
        apply_plucks();
        // The chosen strings sound at the beat's notes and widths.
        static constexpr int32_t offsets[7] = {10, 7, 3, 0, -7, -12, -24};
        for (int32_t i = 0; i < 7; ++i) {
            if ((model.chosen & (1u << i)) != 0) {
                EXPECT_EQ(synth.strings[i].period, period_for_note(base_before + offsets[i])) << beat;
                EXPECT_EQ(synth.strings[i].width, i + 2) << beat;
            }
        }
        EXPECT_EQ(synth.strings[7].period, 0) << "string 7 is never played by the auto-play";
    }
    EXPECT_GT(beats_with_no_string, 0);  // the seven-draw case did occur
    EXPECT_EQ(synth.beat_count, 41);
}

// A pass with a beat that plucks string 0 and Z pressed: the beat's pluck
// comes first, then Z's replaces it, with noise that follows the beat's.
TEST(AutoPlay, NoteKeyInTheSamePassAsABeatPlucksAfterItAndWins) {
    reset_synth_state();
    VirtualTime time{0};
    BeatModel model;
    const Clock clock = clock_on(time);
    // Find, on the model, the first beat whose choices include string 0.
    int target = 0;
    {
        BeatModel probe;
        for (int beat = 1; beat <= 200 && target == 0; ++beat) {
            probe.beat();
            if ((probe.chosen & 1u) != 0) {
                target = beat;
            }
        }
    }
    ASSERT_GT(target, 0);
    for (int beat = 1; beat < target; ++beat) {
        run_to_next_beat(time);
        model.beat();
    }
    apply_plucks();
    // Up to the tick before the beat, then the pass that beats.
    while (synth.tick_countdown > 0) {
        time.now_ms += tick_interval_ms;
        auto_play_step(clock);
    }
    time.now_ms += tick_interval_ms;
    const int32_t base = synth.base_note;
    play_pass(true, 1u << 0, clock);
    model.beat();
    ASSERT_NE(model.chosen & 1u, 0u);
    EXPECT_EQ(synth.beat_count, model.beat_count);
    NoiseGenerator after_z = model.noise;
    const int32_t z_period = period_for_note(base - 24);
    noise_skip(after_z, z_period);
    EXPECT_TRUE(same_state(synth.noise, after_z));
    apply_plucks();
    EXPECT_EQ(synth.strings[0].period, z_period);
    EXPECT_EQ(synth.strings[0].width, 12);
    // Z's loop starts with the value after the beat's last draw.
    NoiseGenerator z_noise = model.noise;
    EXPECT_EQ(synth.strings[0].samples[0], static_cast<float>(noise_next(z_noise)) / 32768.0f);
}

TEST(PlayPass, KeysPlayInTableOrderFromTheCurrentKey) {
    reset_synth_state();
    VirtualTime time{0};
    play_pass(false, (1u << 0) | (1u << 1), clock_on(time));
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
