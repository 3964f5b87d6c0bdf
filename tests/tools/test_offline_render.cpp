#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "control/clock.h"
#include "control/play_pass.h"
#include "engine/render.h"
#include "engine/synth_state.h"
#include "tools/offline_render.h"
#include "tools/score.h"

namespace pluck {
namespace {

constexpr uint32_t key_z = 1u << 0;
constexpr uint32_t key_c = 1u << 2;
constexpr uint32_t key_v = 1u << 3;
constexpr uint32_t key_n = 1u << 5;
constexpr uint32_t key_k = 1u << 7;

bool append_frames(const float* samples, int64_t frames, void* context) {
    auto& out = *static_cast<std::vector<float>*>(context);
    out.insert(out.end(), samples, samples + channel_count * frames);
    return true;
}

std::vector<float> render_text(const std::string& text, int64_t length_ms) {
    const ScoreParse score = parse_score(text);
    EXPECT_EQ(score.error_line, 0) << score.error;
    std::vector<float> out;
    EXPECT_TRUE(render_score(score.events, length_ms, FrameSink{append_frames, &out}));
    return out;
}

// The independent route: the engine driven by hand, each chord of keys
// played by one main-loop pass exactly at its frame.
std::vector<float> render_by_hand(const std::vector<std::pair<int64_t, uint32_t>>& chords, int64_t frames) {
    reset_synth_state();
    std::vector<float> out(static_cast<size_t>(channel_count * frames));
    int64_t done = 0;
    for (const auto& [frame, keys] : chords) {
        render_audio(out.data() + channel_count * done, static_cast<uint32_t>((frame - done) * frame_bytes));
        done = frame;
        play_pass(false, keys, system_clock());
    }
    render_audio(out.data() + channel_count * done, static_cast<uint32_t>((frames - done) * frame_bytes));
    return out;
}

// Index of the first sample whose bits differ, or -1.
int64_t first_difference(const std::vector<float>& a, const std::vector<float>& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        if (std::bit_cast<uint32_t>(a[i]) != std::bit_cast<uint32_t>(b[i])) {
            return static_cast<int64_t>(i);
        }
    }
    return a.size() == b.size() ? -1 : static_cast<int64_t>(n);
}

TEST(OfflineRender, FrameOfAMillisecond) {
    EXPECT_EQ(frame_at_ms(0), 0);
    EXPECT_EQ(frame_at_ms(1), 44);
    EXPECT_EQ(frame_at_ms(9), 396);
    EXPECT_EQ(frame_at_ms(10), 441);
    EXPECT_EQ(frame_at_ms(1001), 44144);
    // Beyond 32 bits in the product: 2^31 - 1 ms.
    EXPECT_EQ(frame_at_ms(max_score_time_ms), INT64_C(94704028832));
}

// Exactly frame_at_ms(length) frames, whatever the length, handed on in
// chunks no longer than a chunk.
TEST(OfflineRender, WritesExactlyTheFramesOfItsLength) {
    for (int64_t length_ms : {0, 1, 3, 10, 185, 1000}) {
        EXPECT_EQ(render_text("0 v\n", length_ms).size(), static_cast<size_t>(2 * frame_at_ms(length_ms)))
            << length_ms;
    }
    auto note_chunk = +[](const float*, int64_t frames, void* context) {
        auto& sizes = *static_cast<std::pair<int64_t, int64_t>*>(context);
        sizes.first = std::max(sizes.first, frames);
        sizes.second += frames;
        return true;
    };
    std::pair<int64_t, int64_t> sizes{0, 0};  // largest chunk, total
    const ScoreParse score = parse_score("0 space-down\n");
    ASSERT_TRUE(render_score(score.events, 2000, FrameSink{note_chunk, &sizes}));
    EXPECT_EQ(sizes.first, render_chunk_frames);
    EXPECT_EQ(sizes.second, frame_at_ms(2000));
}

TEST(OfflineRender, DefaultLengthIsTheLastEventPlusATail) {
    EXPECT_EQ(default_render_length_ms(parse_score("").events), 3000);
    EXPECT_EQ(default_render_length_ms(parse_score("0 v\n1234 z\n").events), 4234);
}

// A press at m sounds from frame f(m) exactly, with no wait for a buffer:
// every frame before it is what the render without that press gives.
TEST(OfflineRender, PressAtAMillisecondIsHeardFromItsFrame) {
    for (int64_t m : {1, 101, 1337}) {
        const int64_t length_ms = m + 40;
        const std::vector<float> with = render_text("0 z\n" + std::to_string(m) + " v\n", length_ms);
        const std::vector<float> without = render_text("0 z\n", length_ms);
        EXPECT_EQ(first_difference(with, without), 2 * frame_at_ms(m)) << m;
        EXPECT_EQ(first_difference(
                      with, render_by_hand({{0, key_z}, {frame_at_ms(m), key_v}}, frame_at_ms(length_ms))),
                  -1)
            << m;
    }
    // At 0 the very first frame already sounds.
    const std::vector<float> at_zero = render_text("0 v\n", 10);
    EXPECT_NE(at_zero[0], 0.0f);
}

// Several presses of one key in one millisecond are one press; a second
// pluck would restart the string with fresh noise and sound different.
TEST(OfflineRender, TwoPressesOfAKeyAtOneMillisecondPluckOnce) {
    const std::vector<float> twice = render_text("5 v\n5 v\n", 100);
    const NoiseGenerator noise_after = synth.noise;
    const std::vector<float> once = render_text("5 v\n", 100);
    EXPECT_EQ(first_difference(twice, once), -1);
    EXPECT_EQ(noise_after.s0, synth.noise.s0);
    EXPECT_EQ(noise_after.s2, synth.noise.s2);

    const std::vector<float> plucked_twice =
        render_by_hand({{frame_at_ms(5), key_v}, {frame_at_ms(5), key_v}}, frame_at_ms(100));
    EXPECT_NE(first_difference(twice, plucked_twice), -1);
}

// Keys pressed in one millisecond pluck in key-table order, whatever their
// order in the score: each draws its noise after the one before it.
TEST(OfflineRender, KeysAtOneMillisecondPlayInKeyOrder) {
    const std::vector<float> written_backwards = render_text("7 k\n7 n\n7 c\n7 z\n", 300);
    const std::vector<float> by_hand =
        render_by_hand({{frame_at_ms(7), key_z | key_c | key_n | key_k}}, frame_at_ms(300));
    EXPECT_EQ(first_difference(written_backwards, by_hand), -1);
}

// Space held through the passes at 0 ... 49 ms: the first pass starts the
// clock, ticks come at 7, 14, ..., 49 (seven), and the first of them is a
// beat because the countdown starts at 0.
TEST(OfflineRender, SpaceHeldFrom0To49GivesSevenTicksAndOneBeat) {
    render_text("0 space-down\n50 space-up\n", 200);
    EXPECT_TRUE(synth.auto_play_started);
    EXPECT_EQ(synth.beat_count, 2);
    EXPECT_EQ(synth.tick_countdown, 16 - 6);
    EXPECT_EQ(synth.last_tick_ms, 49u);

    // Released one millisecond earlier, the tick at 49 never comes.
    render_text("0 space-down\n49 space-up\n", 200);
    EXPECT_EQ(synth.beat_count, 2);
    EXPECT_EQ(synth.tick_countdown, 16 - 5);
    EXPECT_EQ(synth.last_tick_ms, 42u);
}

// Space events at one millisecond: the last one decides.
TEST(OfflineRender, LastSpaceEventOfAMillisecondDecides) {
    render_text("10 space-down\n10 space-up\n", 100);
    EXPECT_FALSE(synth.auto_play_started);

    render_text("10 space-up\n10 space-down\n", 100);
    EXPECT_TRUE(synth.auto_play_started);
    EXPECT_EQ(synth.last_tick_ms, 94u);  // ticks every 7 ms from 10
}

// Auto-play resumes where it stopped: after a long release the first pass
// with Space down ticks at once, timed by the virtual clock.
TEST(OfflineRender, AutoPlayClockReadsTheVirtualMillisecond) {
    render_text("0 space-down\n1 space-up\n1000 space-down\n", 1001);
    EXPECT_EQ(synth.last_tick_ms, 1000u);
    EXPECT_EQ(synth.beat_count, 2);
}

// Events at or after the end are not played.
TEST(OfflineRender, EventsAtTheEndAreNotPlayed) {
    const std::vector<float> out = render_text("100 v\n", 100);
    for (float v : out) {
        ASSERT_EQ(v, 0.0f);
    }
    EXPECT_EQ(synth.strings[3].period, 0);
}

// The live instrument plucks between 512-frame buffers. Where the plucks of
// a score fall on buffer boundaries, the two paths give the same samples:
// 5120 ms is frame 225792, buffer 441.
TEST(OfflineRender, AgreesWithTheLivePathOnBufferBoundaries) {
    const std::vector<std::pair<int64_t, uint32_t>> chords = {
        {frame_at_ms(0), key_v}, {frame_at_ms(5120), key_z | key_n}, {frame_at_ms(10240), key_c | key_k}};
    const int64_t length_ms = 10240 + 1500;
    const std::vector<float> offline = render_text("0 v\n5120 z\n5120 n\n10240 k\n10240 c\n", length_ms);

    reset_synth_state();
    std::vector<float> live;
    float buffer[channel_count * buffer_frames];
    size_t next = 0;
    for (int64_t start = 0; start < frame_at_ms(length_ms); start += buffer_frames) {
        if (next < chords.size() && chords[next].first == start) {
            play_pass(false, chords[next].second, system_clock());
            ++next;
        }
        render_audio(buffer, sizeof buffer);
        live.insert(live.end(), buffer, buffer + channel_count * buffer_frames);
    }
    ASSERT_EQ(next, chords.size());
    live.resize(offline.size());
    EXPECT_EQ(first_difference(offline, live), -1);
}

// Every build preset and every run renders a score to the same bits. The
// digest (64-bit FNV-1a over the samples' bits) was taken from a release
// build; a debug, sanitizer or differently optimised build that rounds any
// step differently gives another.
TEST(OfflineRender, DemoScoreGivesTheSameBitsOnEveryBuild) {
    std::ifstream in(PLUCK_SOURCE_DIR "/examples/demo.score", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const ScoreParse score = parse_score(text);
    ASSERT_EQ(score.error_line, 0) << score.error;
    uint64_t digest = 0xcbf29ce484222325u;
    auto fold = +[](const float* samples, int64_t frames, void* context) {
        uint64_t& h = *static_cast<uint64_t*>(context);
        for (int64_t i = 0; i < channel_count * frames; ++i) {
            const uint32_t bits = std::bit_cast<uint32_t>(samples[i]);
            for (int byte = 0; byte < 4; ++byte) {
                h = (h ^ ((bits >> (8 * byte)) & 0xffu)) * 0x100000001b3u;
            }
        }
        return true;
    };
    ASSERT_TRUE(render_score(score.events, default_render_length_ms(score.events), FrameSink{fold, &digest}));
    EXPECT_EQ(digest, UINT64_C(0x42de79ac448d4fbe)) << std::hex << digest;
}

// A sink that refuses stops the render at once.
TEST(OfflineRender, StopsWhenTheSinkRefuses) {
    int calls = 0;
    auto refuse_second =
        +[](const float*, int64_t, void* context) { return ++*static_cast<int*>(context) < 2; };
    const ScoreParse score = parse_score("0 v\n");
    EXPECT_FALSE(render_score(score.events, 60000, FrameSink{refuse_second, &calls}));
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace pluck
