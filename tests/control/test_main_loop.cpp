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
// terminal: the first bytes, then the second after a pause, then the pipe
// closes, which quits. A note byte plucks its string; Ctrl-C is examined
// before the note keys of its pass; a lone ESC quits after its timeout, so
// a later key is never read.
TEST(MainLoop, NoteKeysAndWaysToQuit) {
    const struct {
        std::string first, second;
        int pause_ms, plucked;  // the one string sounding afterwards, or -1
    } cases[] = {{"v", "", 50, 3}, {"\x03v", "z", 200, -1}, {"\x1b", "k", 500, -1}};
    for (const auto& c : cases) {
        reset_synth_state();
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        std::thread writer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(write(fds[1], c.first.data(), c.first.size()), static_cast<ssize_t>(c.first.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(c.pause_ms));
            EXPECT_EQ(write(fds[1], c.second.data(), c.second.size()), static_cast<ssize_t>(c.second.size()));
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
        float frame[2];
        render_audio(frame, sizeof frame);  // applies the plucks handed over
        for (int k = 0; k < 8; ++k) {
            EXPECT_EQ(synth.strings[k].period, k == c.plucked ? 162 : 0)
                << testing::PrintToString(c.first) << k;
        }
    }
}

}  // namespace
}  // namespace pluck
