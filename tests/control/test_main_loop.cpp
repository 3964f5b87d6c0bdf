#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

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

void play_script(const std::vector<Step>& script) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        for (const Step& step : script) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.pause_ms));
            EXPECT_EQ(write(fds[1], step.bytes.data(), step.bytes.size()),
                      static_cast<ssize_t>(step.bytes.size()));
        }
        close(fds[1]);
    });
    KeyDecoder decoder;
    Terminal terminal;
    open_terminal(terminal, fds[0], decoder, nullptr);
    EXPECT_FALSE(terminal.raw);
    run_main_loop(terminal, decoder);
    close_terminal(terminal);
    writer.join();
    close(fds[0]);
}

void apply_plucks() {
    float frame[2];
    render_audio(frame, sizeof frame);
}

// A note byte plucks its string; Ctrl-C is examined before the note keys of
// its pass; a lone ESC quits after its timeout, so a later key is never read.
TEST(MainLoop, NoteKeysAndWaysToQuit) {
    struct Case {
        std::vector<Step> script;
        int plucked;  // the one string sounding afterwards, or -1
    };
    for (const Case& c : {Case{{{"v", 20}, {"", 50}}, 3}, Case{{{"\x03v", 20}, {"z", 200}}, -1},
                          Case{{{"\x1b", 20}, {"k", 500}}, -1}}) {
        reset_synth_state();
        play_script(c.script);
        apply_plucks();
        for (int k = 0; k < 8; ++k) {
            EXPECT_EQ(synth.strings[k].period, k == c.plucked ? 162 : 0)
                << testing::PrintToString(c.script[0].bytes) << " string " << k;
        }
    }
}

}  // namespace
}  // namespace pluck
