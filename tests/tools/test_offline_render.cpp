// pluck-render's playing of a score, between the reader and the file: where
// events land in the sound. The example score's bits, the messages, files
// and signals are tested through the program itself (test_pluck_render.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/tuning.h"
#include "tools/offline_render.h"
#include "tools/score.h"

namespace pluck {
namespace {

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
// event by default; an event at the very end is not played. A press at m
// sounds from that frame exactly, with no wait for a buffer: every frame
// before it is what the render without it gives. Keys pressed in one
// millisecond pluck once each (a second pluck would draw fresh noise) in
// key-table order, whatever their order in the score. Space is down from m
// when the last Space event at m says so.
TEST(OfflineRender, LengthsAndEventsLandOnTheirFrames) {
    const std::pair<int64_t, int64_t> lengths[] = {{0, 0},    {1, 44},       {9, 396},
                                                   {10, 441}, {1001, 44144}, {-1, 132388}};
    for (const auto& [length_ms, frames] : lengths) {
        EXPECT_EQ(render_text("0 v\n2 c\n", length_ms).size(), static_cast<size_t>(2 * frames)) << length_ms;
    }
    EXPECT_EQ(render_text("", -1).size(), static_cast<size_t>(2 * 132300));
    EXPECT_EQ(frame_at_ms(max_score_time_ms), INT64_C(94704028832));
    const std::vector<float> out = render_text("100 v\n", 100);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 0.0f; }));
    for (int64_t m : {1, 101, 1337}) {
        const std::string press = "0 z\n" + std::to_string(m) + " v\n";
        EXPECT_EQ(first_difference(render_text(press, m + 40), render_text("0 z\n", m + 40)),
                  2 * frame_at_ms(m));
    }
    EXPECT_NE(render_text("0 v\n", 10)[0], 0.0f);
    EXPECT_EQ(first_difference(render_text("7 k\n7 n\n7 k\n7 c\n7 z\n7 n\n", 300),
                               render_text("7 z\n7 c\n7 n\n7 k\n", 300)),
              -1);
    const std::vector<float> space = render_text("10 space-down\n", 300);
    EXPECT_NE(first_difference(space, render_text("", 300)), -1);
    EXPECT_EQ(first_difference(render_text("10 space-down\n10 space-up\n", 300), render_text("", 300)), -1);
    EXPECT_EQ(first_difference(render_text("10 space-up\n10 space-down\n", 300), space), -1);
}

}  // namespace
}  // namespace pluck
