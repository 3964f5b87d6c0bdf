#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "engine/render.h"
#include "engine/synth_state.h"
#include "play/auto_play.h"
#include "play/clock.h"
#include "play/play_pass.h"
#include "play/play_session.h"

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

// Readings 0, 3, 6 and 7 ms after the last tick, across the clock's wrap:
// only 7 ticks; every other reading sleeps; a late reading ticks once.
TEST(AutoPlay, OnlyAReadingSevenMillisecondsAfterTheLastTickTicks) {
    reset_auto_play();
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
        EXPECT_EQ(auto_play.beat_count, r.beat_count) << r.after_start;
        EXPECT_EQ(auto_play.tick_countdown, r.tick_countdown) << r.after_start;
    }
}

// Space held and Z pressed in every pass: a beat's plucks come first, so
// the player's Z wins string 0 even in the passes whose beat plucked it.
TEST(PlayPass, AKeyPressedInABeatsPassWinsItsString) {
    reset_synth_state();
    reset_auto_play();
    VirtualTime time{1000};
    while (auto_play.beat_count < 100) {
        ++time.now_ms;
        play_pass(true, 1u, time.clock());
        float frame[2];
        render_audio(frame, sizeof frame);  // applies the plucks handed over
        ASSERT_EQ(synth.strings[0].width, 12) << "beat " << auto_play.beat_count;
    }
}

// Space held through a second of two sessions in turn: the second plays as
// the first did, its auto-play (clock, beats, key) starting afresh.
TEST(AutoPlay, EachSessionStartsItsOwn) {
    static float takes[2][2 * sample_rate_hz];
    for (PlaySession s; float* take : takes) {
        start_session(s);
        session_space(s, true);
        session_render(s, take, sample_rate_hz);
    }
    EXPECT_EQ(std::memcmp(takes[0], takes[1], sizeof takes[0]), 0);
}

}  // namespace
}  // namespace pluck
