// The progress bar of a long render: drawn on stderr when it is a terminal
// (a real pseudo-terminal here), never when it is not. A render is made
// "long" whatever the machine's speed by stopping the program for a while
// once it has started writing.
#include <gtest/gtest.h>
#include <pty.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "tests/tools/render_process.h"
#include "tests/tools/scratch_dir.h"

namespace pluck {
namespace {

// Five minutes of auto-play: long enough to still be rendering when it is
// stopped, short enough to finish quickly after.
constexpr const char* length_ms = "300000";
// Longer than the one second after which the bar appears.
constexpr auto pause = std::chrono::milliseconds(1500);

// Waits (generously) until the program has created its partial file, that
// is, has started its clock and begun rendering; then stops it for `pause`.
// False if the render ended before it could be stopped.
bool pause_while_rendering(pid_t pid, const ScratchDir& dir) {
    bool started = false;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!started && std::chrono::steady_clock::now() < give_up) {
        for (const std::string& name : dir.names()) {
            started = started || name.rfind(".long.wav.", 0) == 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!started || kill(pid, SIGSTOP) != 0) {
        return false;
    }
    int status = 0;
    if (waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status)) {
        return false;
    }
    std::this_thread::sleep_for(pause);
    return kill(pid, SIGCONT) == 0;
}

TEST(PluckRenderProgress, DrawnOnATerminalForALongRender) {
    ScratchDir dir;
    write_text(dir.file("long.score"), "0 space-down\n");
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0) << errno;

    const std::string score = dir.file("long.score");
    const std::string out = dir.file("long.wav");
    const pid_t pid = fork();
    if (pid == 0) {
        close(master);
        dup2(slave, STDERR_FILENO);
        dup2(slave, STDOUT_FILENO);
        execl(PLUCK_RENDER_PATH, PLUCK_RENDER_PATH, score.c_str(), "-o", out.c_str(), "--length", length_ms,
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(slave);
    ASSERT_TRUE(pause_while_rendering(pid, dir));
    std::string screen;
    char block[4096];
    ssize_t got = 0;
    // The read ends with EIO once the program has closed the terminal.
    while ((got = read(master, block, sizeof block)) > 0) {
        screen.append(block, static_cast<size_t>(got));
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << screen;
    EXPECT_EQ(screen.rfind("\r[", 0), 0u) << screen;
    // Finished at 100% and left on a line of its own.
    const std::string last = "\r[" + std::string(30, '#') + "] 100%  5:00 of 5:00\r\n";
    ASSERT_GE(screen.size(), last.size());
    EXPECT_EQ(screen.substr(screen.size() - last.size()), last) << screen;
}

TEST(PluckRenderProgress, NotDrawnWhenStderrIsNotATerminal) {
    ScratchDir dir;
    write_text(dir.file("long.score"), "0 space-down\n");
    RenderProcess process;
    ASSERT_TRUE(process.start({dir.file("long.score"), "-o", dir.file("long.wav"), "--length", length_ms}));
    ASSERT_TRUE(pause_while_rendering(process.pid, dir));
    std::string output;
    const int status = process.finish(output);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(output, "");
}

}  // namespace
}  // namespace pluck
