#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "control/auto_play.h"
#include "control/clock.h"
#include "control/key_decoder.h"
#include "control/main_loop.h"
#include "control/terminal.h"
#include "engine/render.h"
#include "engine/synth_state.h"

namespace pluck {
namespace {

// The loop reading a pipe, as it reads standard input that is not a
// terminal: each step of `script` is written after a pause, and the pipe is
// closed at the end, which quits.
struct Step {
    std::string bytes;
    int pause_ms;
};

std::vector<uint32_t> play_script(const std::vector<Step>& script) {
    std::vector<uint32_t> written(script.size());
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return written;
    }
    const Clock clock = system_clock();
    std::thread writer([&] {
        for (size_t i = 0; i < script.size(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(script[i].pause_ms));
            const std::string& bytes = script[i].bytes;
            if (!bytes.empty()) {
                EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
            }
            written[i] = clock.now_ms(clock.context);
        }
        close(fds[1]);
    });
    KeyDecoder decoder;
    Terminal terminal;
    open_terminal(terminal, fds[0], decoder);
    EXPECT_FALSE(terminal.raw);
    run_main_loop(terminal, decoder);
    close_terminal(terminal);
    writer.join();
    close(fds[0]);
    return written;
}

void apply_plucks() {
    float frame[2];
    render_audio(frame, sizeof frame);
}

TEST(MainLoop, NoteBytePlucksItsStringAndEndOfInputQuits) {
    reset_synth_state();
    play_script({{"v", 20}, {"", 50}});
    apply_plucks();
    EXPECT_EQ(synth.strings[3].period, 162);
    EXPECT_EQ(synth.strings[3].width, 5);
    for (int k : {0, 1, 2, 4, 5, 6, 7}) {
        EXPECT_EQ(synth.strings[k].period, 0) << k;
    }
}

TEST(MainLoop, QuitIsExaminedBeforeTheNoteKeysOfTheSamePass) {
    reset_synth_state();
    play_script({{"\x03v", 20}, {"z", 200}});
    apply_plucks();
    for (const PluckedString& s : synth.strings) {
        EXPECT_EQ(s.period, 0);
    }
}

TEST(MainLoop, LoneEscapeQuitsAfterItsTimeout) {
    reset_synth_state();
    // Nothing after the ESC for far longer than the lone-ESC time: Escape,
    // so the later key is never read.
    play_script({{"\x1b", 20}, {"k", 500}});
    apply_plucks();
    EXPECT_EQ(synth.strings[7].period, 0);
}

TEST(MainLoop, HeldSpaceRunsTheAutoPlayAndItsReleaseStopsIt) {
    reset_synth_state();
    // A keyboard repeating Space for about 600 ms, then 1.5 s with Space up.
    std::vector<Step> script{{" ", 10}};
    for (int i = 0; i < 20; ++i) {
        script.push_back({" ", 30});
    }
    script.push_back({"", 1500});
    const std::vector<uint32_t> written = play_script(script);
    const int beats = synth.beat_count - 1;
    // A beat at the first tick, then one every 17 ticks of 7 ms or more.
    const uint32_t held_ms = written[20] - written[0] + space_hold_first_ms;
    const int most = 2 + static_cast<int>(held_ms / (17 * tick_interval_ms));
    EXPECT_GE(beats, 2);
    EXPECT_LE(beats, most) << "the auto-play went on after Space was released (held " << held_ms
                           << " ms at most)";
}

}  // namespace
}  // namespace pluck
