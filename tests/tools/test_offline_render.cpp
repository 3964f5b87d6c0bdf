#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "control/clock.h"
#include "control/note_keys.h"
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

// Plays a score as pluck-render does, each event as soon as its line is
// read, for `length_ms` (-1: the last event's time and the tail).
std::vector<float> render_text(const std::string& text, int64_t length_ms) {
    std::vector<float> out;
    ScoreRender render;
    start_score_render(render, FrameSink{append_frames, &out}, length_ms);
    ScoreReader reader;
    ScoreEvent event;
    std::string_view bytes = text;
    ScoreRead read = ScoreRead::need_input;
    while ((read = read_score_event(reader, bytes, event)) == ScoreRead::event ||
           (read == ScoreRead::need_input && (read = finish_score(reader, event)) == ScoreRead::event)) {
        EXPECT_TRUE(render_score_event(render, event));
    }
    EXPECT_EQ(read, ScoreRead::end) << reader.error;
    EXPECT_TRUE(end_score_render(render, reader));
    return out;
}

// The independent route, played as the live instrument plays: 512-frame
// buffers (cut short where a chord falls inside one), each chord of keys
// played by one main-loop pass just before its frame.
std::vector<float> render_by_hand(const std::vector<std::pair<int64_t, uint32_t>>& chords, int64_t frames) {
    reset_synth_state();
    std::vector<float> out(static_cast<size_t>(channel_count * frames));
    size_t next = 0;
    for (int64_t done = 0; done < frames;) {
        for (; next < chords.size() && chords[next].first == done; ++next) {
            play_pass(false, chords[next].second, system_clock());
        }
        const int64_t end =
            std::min({done + buffer_frames, frames, next < chords.size() ? chords[next].first : frames});
        render_audio(out.data() + channel_count * done, static_cast<uint32_t>((end - done) * frame_bytes));
        done = end;
    }
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

// Exactly floor(m * 44100 / 1000) frames for a length of m ms, computed in
// 64 bits (2^31 - 1 ms overflows a 32-bit product), 3000 ms after the last
// event by default; an event at the very end is not played.
TEST(OfflineRender, WritesExactlyTheFramesOfItsLength) {
    const std::pair<int64_t, int64_t> lengths[] = {{0, 0},    {1, 44},       {9, 396},
                                                   {10, 441}, {1001, 44144}, {-1, 132388}};
    for (const auto& [length_ms, frames] : lengths) {
        EXPECT_EQ(render_text("0 v\n2 c\n", length_ms).size(), static_cast<size_t>(2 * frames)) << length_ms;
    }
    EXPECT_EQ(render_text("", -1).size(), static_cast<size_t>(2 * 132300));
    EXPECT_EQ(frame_at_ms(max_score_time_ms), INT64_C(94704028832));
    const std::vector<float> out = render_text("100 v\n", 100);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 0.0f; }));
    EXPECT_EQ(synth.strings[3].period, 0);
}

// A press at m sounds from frame f(m) exactly, with no wait for a buffer:
// every frame before it is what the render without that press gives.
TEST(OfflineRender, PressAtAMillisecondIsHeardFromItsFrame) {
    for (int64_t m : {1, 101, 1337}) {
        const int64_t length_ms = m + 40;
        const std::vector<float> with = render_text("0 z\n" + std::to_string(m) + " v\n", length_ms);
        EXPECT_EQ(first_difference(with, render_text("0 z\n", length_ms)), 2 * frame_at_ms(m)) << m;
        EXPECT_EQ(first_difference(
                      with, render_by_hand({{0, key_z}, {frame_at_ms(m), key_v}}, frame_at_ms(length_ms))),
                  -1)
            << m;
    }
    EXPECT_NE(render_text("0 v\n", 10)[0], 0.0f);  // at 0 the very first frame sounds
}

// Keys pressed in one millisecond pluck once each (a second pluck would draw
// fresh noise and sound different), in key-table order whatever their order
// in the score.
TEST(OfflineRender, KeysAtOneMillisecondPluckOnceInKeyOrder) {
    const std::vector<float> written = render_text("7 k\n7 n\n7 k\n7 c\n7 z\n7 n\n", 300);
    const int64_t at = frame_at_ms(7);
    EXPECT_EQ(
        first_difference(written, render_by_hand({{at, key_z | key_c | key_n | key_k}}, frame_at_ms(300))),
        -1);
    EXPECT_NE(first_difference(written, render_by_hand({{at, key_z | key_c | key_n | key_k}, {at, key_k}},
                                                       frame_at_ms(300))),
              -1);
}

// Space: down at m when the last Space event at or before m is space-down;
// the auto-play's clock reads the virtual millisecond. Held from 0 to 49 ms
// the first pass starts the clock and ticks come at 7, 14, ..., 49 (seven,
// the first a beat, since the countdown starts at 0).
TEST(OfflineRender, SpaceDrivesTheAutoPlayInVirtualTime) {
    const struct {
        const char* score;
        int64_t length_ms;
        bool started;
        uint32_t last_tick_ms;
        int32_t beat_count;
        int32_t tick_countdown;
    } cases[] = {
        {"0 space-down\n50 space-up\n", 200, true, 49, 2, 16 - 6},
        {"0 space-down\n49 space-up\n", 200, true, 42, 2, 16 - 5},  // the tick at 49 never comes
        {"10 space-down\n10 space-up\n", 100, false, 0, 1, 0},      // the last event of a ms decides
        {"10 space-up\n10 space-down\n", 100, true, 94, 2, 16 - 11},
        // After a long release the first pass with Space down ticks at once.
        {"0 space-down\n1 space-up\n1000 space-down\n", 1001, true, 1000, 2, 16},
    };
    for (const auto& c : cases) {
        render_text(c.score, c.length_ms);
        EXPECT_EQ(synth.auto_play_started, c.started) << c.score;
        EXPECT_EQ(synth.last_tick_ms, c.last_tick_ms) << c.score;
        EXPECT_EQ(synth.beat_count, c.beat_count) << c.score;
        EXPECT_EQ(synth.tick_countdown, c.tick_countdown) << c.score;
    }
}

// The live instrument plucks between 512-frame buffers. Where the plucks of
// a score fall on buffer boundaries, the two paths give the same samples:
// 5120 ms is frame 225792, buffer 441.
TEST(OfflineRender, AgreesWithTheLivePathOnBufferBoundaries) {
    const std::vector<float> offline = render_text("0 v\n5120 z\n5120 n\n10240 k\n10240 c\n", 10240 + 1500);
    ASSERT_EQ(frame_at_ms(5120) % buffer_frames, 0);
    EXPECT_EQ(first_difference(offline, render_by_hand({{0, key_v},
                                                        {frame_at_ms(5120), key_z | key_n},
                                                        {frame_at_ms(10240), key_c | key_k}},
                                                       frame_at_ms(10240 + 1500))),
              -1);
}

// Driven as a web page drives it (render quanta of any size, keys and Space
// arriving between them), a session gives the same bits as the score of what
// was played at which millisecond, rendered in one go: a live session is a
// score. The beats must land on their own frames, however the audio is cut.
TEST(OfflineRender, ALiveSessionIsAScore) {
    PlaySession live;
    start_session(live);
    std::vector<float> played;
    std::string score;
    uint32_t random = 12345;
    for (int quantum = 0; quantum < 1500; ++quantum) {
        random = random * 1664525u + 1013904223u;
        const uint32_t roll = random >> 24;
        if (roll < 10) {
            const auto key = static_cast<int32_t>((random >> 8) % note_key_count);
            session_press(live, key);
            score += std::to_string(live.next_pass_ms) + " " + note_keys[key].letter + "\n";
        } else if (roll < 18) {
            session_space(live, !live.space_down);
            score += std::to_string(live.next_pass_ms) + (live.space_down ? " space-down\n" : " space-up\n");
        }
        const int64_t frames = 1 + (random >> 4) % 400;
        std::vector<float> out(static_cast<size_t>(channel_count * frames));
        session_render(live, out.data(), frames);
        played.insert(played.end(), out.begin(), out.end());
    }
    const int64_t beats = synth.beat_count;
    std::vector<float> offline = render_text(score, live.frames_rendered * 1000 / sample_rate_hz + 1);
    offline.resize(played.size());
    EXPECT_EQ(first_difference(played, offline), -1);
    EXPECT_GT(beats, 20);
}

// Every build preset and every run renders the example score (which must
// stay valid) to the same bits: 64-bit FNV-1a over the samples' bits, taken
// from a release build. Any build that rounds a step differently fails.
TEST(OfflineRender, DemoScoreGivesTheSameBitsOnEveryBuild) {
    std::ifstream file(PLUCK_SOURCE_DIR "/examples/demo.score", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    uint64_t digest = 0xcbf29ce484222325u;
    for (float sample : render_text(text, -1)) {
        for (int byte = 0; byte < 4; ++byte) {
            digest = (digest ^ ((std::bit_cast<uint32_t>(sample) >> (8 * byte)) & 0xffu)) * 0x100000001b3u;
        }
    }
    EXPECT_EQ(digest, UINT64_C(0x42de79ac448d4fbe)) << std::hex << digest;
}

}  // namespace
}  // namespace pluck
