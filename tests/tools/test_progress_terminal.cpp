// The progress bar of a long render: drawn on stderr when it is a terminal
// (a real pseudo-terminal here), never when it is not. A render is made
// "long" whatever the machine's speed by stopping the program for 1.5 s
// (more than the second after which the bar appears) once it has begun.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/tools/render_process.h"
#include "tests/tools/scratch_dir.h"

namespace pluck {
namespace {

// Renders five minutes of auto-play, stopped for a while once its partial
// file exists, and returns what it printed; a failure if it did not exit 0.
std::string render_with_a_pause(bool on_terminal) {
    ScratchDir dir;
    write_text(dir.file("long.score"), "0 space-down\n");
    RenderProcess process;
    const std::vector<std::string> args{dir.file("long.score"), "-o", dir.file("long.wav"), "--length",
                                        "300000"};
    if (!process.start(args, "/dev/null", 0, on_terminal)) {
        ADD_FAILURE() << "cannot start the program";
        return "";
    }
    int status = 0;
    EXPECT_TRUE(dir.wait_for_name_starting(".long.wav.") && kill(process.pid, SIGSTOP) == 0 &&
                waitpid(process.pid, &status, WUNTRACED) == process.pid && WIFSTOPPED(status))
        << "the render ended before it could be stopped";
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(process.pid, SIGCONT);
    std::string output;
    status = process.finish(output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    return output;
}

TEST(PluckRenderProgress, DrawnOnATerminalForALongRender) {
    const std::string screen = render_with_a_pause(true);
    EXPECT_EQ(screen.rfind("\r[", 0), 0u) << screen;
    // Finished at 100% and left on a line of its own.
    const std::string last = "\r[" + std::string(30, '#') + "] 100%  5:00 of 5:00\r\n";
    ASSERT_GE(screen.size(), last.size());
    EXPECT_EQ(screen.substr(screen.size() - last.size()), last) << screen;
}

TEST(PluckRenderProgress, NotDrawnWhenStderrIsNotATerminal) {
    EXPECT_EQ(render_with_a_pause(false), "");
}

}  // namespace
}  // namespace pluck
