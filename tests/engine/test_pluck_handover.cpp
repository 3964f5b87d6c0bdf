#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "engine/pluck_handover.h"
#include "engine/render.h"
#include "engine/synth_state.h"

namespace pluck {
namespace {

// The generator moves on at the pluck itself, so the order of draws is the
// order of the player's actions; the string changes only when the audio
// thread starts its next buffer.
TEST(PluckHandover, NoiseIsDrawnAtOnceAndTheStringChangesAtTheNextBuffer) {
    reset_synth_state();
    pluck_string(3, 109, 5);
    EXPECT_EQ(synth.strings[3].period, 0);
    NoiseGenerator g{1237, 234567, 890123};
    noise_skip(g, 162);
    EXPECT_EQ(synth.noise.s0, g.s0);

    float frame[2];
    render_audio(frame, sizeof frame);
    EXPECT_EQ(synth.strings[3].period, 162);
    EXPECT_EQ(synth.strings[3].width, 5);
    EXPECT_EQ(synth.strings[3].samples[0], 3.0f / 32768.0f);
}

// Plucks that cannot sound draw no noise: a string outside the eight is
// ignored, and a silent note (period 0) reads none.
TEST(PluckHandover, PlucksThatCannotSoundDrawNoNoise) {
    reset_synth_state();
    pluck_string(-1, 109, 5);
    pluck_string(8, 109, 5);
    pluck_string(0, 200, 2);
    float frame[2];
    render_audio(frame, sizeof frame);
    for (const PluckedString& s : synth.strings) {
        EXPECT_EQ(s.period, 0);
    }
    EXPECT_EQ(noise_next(), 3);  // still the generator's first value
}

// One thread plucks as fast as it can while another renders: under
// ThreadSanitizer this must report nothing, every rendered sample must be
// finite, and each string must end as its last pluck left it.
TEST(PluckHandover, PlucksWhileRenderingAreSafe) {
    reset_synth_state();
    std::atomic<bool> done{false};
    std::atomic<bool> all_finite{true};
    std::thread audio([&] {
        std::vector<float> buffer(1024);
        while (!done.load()) {
            render_audio(buffer.data(), 4096);
            for (float v : buffer) {
                if (!std::isfinite(v)) {
                    all_finite.store(false);
                }
            }
        }
    });
    const int32_t notes[] = {85, 97, 104, 109, 112, 116, 119, 121, 200, -5, 190};
    int32_t last_note[8] = {};
    int32_t last_width[8] = {};
    for (int i = 0; i < 20000; ++i) {
        const int32_t k = i % 8;
        last_note[k] = notes[(i * 7) % std::size(notes)];
        last_width[k] = 2 + (i % 11);
        pluck_string(k, last_note[k], last_width[k]);
    }
    done.store(true);
    audio.join();
    float frame[2];
    render_audio(frame, sizeof frame);
    EXPECT_TRUE(all_finite.load());
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(synth.strings[k].period, period_for_note(last_note[k])) << k;
        EXPECT_EQ(synth.strings[k].width, last_width[k]) << k;
    }
}

}  // namespace
}  // namespace pluck
