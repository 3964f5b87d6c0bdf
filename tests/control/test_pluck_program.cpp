// The pluck program end to end: run in a real pseudo-terminal that the test
// drives as a terminal would, playing to a private PulseAudio server whose
// sink is recorded.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/pluck_handover.h"
#include "engine/render.h"
#include "engine/synth_state.h"
#include "tests/support/pulse_server.h"

namespace pluck {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char usage_text[] = "    Play : Z, X, C, V, B, N, M, K\nAutoPlay : Hold SpaceKey.\n";
// The program's session modes are on once it has written this.
constexpr char session_ready[] = "\x1b[?1004h";

double ms_since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

std::string stty_settings(const std::string& device) {
    std::string command = "stty -g -F " + device + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return "popen failed";
    }
    std::string text;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, p) != nullptr) {
        text += buffer;
    }
    pclose(p);
    return text;
}

// The program on the slave side of a pseudo-terminal; the test is the
// terminal on the master side.
struct Program {
    int master = -1;
    pid_t pid = -1;
    std::string device;
    std::string before;  // the terminal's settings, to be restored
    std::string output;
    bool kitty = false;  // answer the keyboard-protocol query as a supporting terminal
    bool answered = false;
    int status = -1;

    ~Program() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (master >= 0) {
            close(master);
        }
    }

    // Reads what the program wrote for up to `ms`, answering its query.
    void pump(int ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        do {
            pollfd p{master, POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (poll(&p, 1, left > 0 ? static_cast<int>(left) : 0) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the program has closed its side
                continue;
            }
            output.append(buffer, static_cast<size_t>(n));
            if (!answered && output.find("\x1b[c") != std::string::npos) {
                answered = true;
                send(kitty ? "\x1b[?0u\x1b[?62c" : "\x1b[?62c");
            }
        } while (Clock::now() < end);
    }

    bool pump_until(const std::string& text, int limit_ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
        while (output.find(text) == std::string::npos && Clock::now() < end) {
            pump(10);
        }
        return output.find(text) != std::string::npos;
    }

    void send(const std::string& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Waits for the program to end, reading its output meanwhile; the time
    // it took, or a negative number if it is still running after `limit_ms`.
    double wait_exit(int limit_ms) {
        const auto start = Clock::now();
        while (ms_since(start) < limit_ms) {
            pump(10);
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                pump(20);
                return ms_since(start);
            }
        }
        return -1;
    }
};

// Starts the program on a new pseudo-terminal whose settings are those a
// shell hands over, except that output line ends are left alone so that
// the usage text can be compared byte for byte; waits until it has set up
// its terminal.
void start_program(Program& program, const test::PulseServer& pulse) {
    int slave = -1;
    char name[256];
    winsize size{24, 80, 0, 0};
    ASSERT_EQ(openpty(&program.master, &slave, name, nullptr, &size), 0) << std::strerror(errno);
    program.device = name;
    termios settings{};
    ASSERT_EQ(tcgetattr(slave, &settings), 0);
    settings.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &settings), 0);
    program.before = stty_settings(program.device);

    // Ours first: a variable's first entry is the one a program reads.
    std::vector<std::string> env_strings = test::pulse_environment(pulse);
    env_strings.push_back("TERM=xterm-256color");
    for (char** e = environ; *e != nullptr; ++e) {
        env_strings.push_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& e : env_strings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::string path = PLUCK_PROGRAM;
    char* argv[] = {path.data(), nullptr};

    program.pid = fork();
    ASSERT_GE(program.pid, 0);
    if (program.pid == 0) {
        close(program.master);
        login_tty(slave);  // new session, the pseudo-terminal as its terminal
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    close(slave);
    ASSERT_TRUE(program.pump_until(session_ready, 10000))
        << "the program did not set up its terminal; it wrote: " << program.output;
}

// Exit with status 0, promptly, with the terminal as it was.
void expect_clean_exit(Program& program, const char* how) {
    const double took_ms = program.wait_exit(6000);
    ASSERT_GE(took_ms, 0) << "still running 6 s after " << how;
    EXPECT_LT(took_ms, 3000) << how << " took " << took_ms << " ms";
    ASSERT_TRUE(WIFEXITED(program.status)) << how << ": status " << program.status;
    EXPECT_EQ(WEXITSTATUS(program.status), 0) << how;
    EXPECT_EQ(stty_settings(program.device), program.before)
        << "terminal settings not restored after " << how;
    // Every mode switched on was switched off again.
    EXPECT_NE(program.output.find("\x1b[?1004l"), std::string::npos) << how;
    EXPECT_NE(program.output.find("\x1b[?2004l"), std::string::npos) << how;
}

// The output with every escape sequence removed: the text the user sees.
std::string visible_text(const std::string& output) {
    std::string text;
    for (size_t i = 0; i < output.size(); ++i) {
        if (output[i] != '\x1b') {
            text += output[i];
            continue;
        }
        if (i + 1 < output.size() && output[i + 1] == '[') {
            i += 2;
            while (i < output.size() && !(output[i] >= 0x40 && output[i] <= 0x7e)) {
                ++i;
            }
        } else {
            ++i;
        }
    }
    return text;
}

std::vector<float> left_channel(const std::vector<float>& frames) {
    std::vector<float> left(frames.size() / 2);
    for (size_t i = 0; i < left.size(); ++i) {
        left[i] = frames[2 * i];
    }
    return left;
}

// The lag, in samples, between `low` and `high` at which the signal best
// matches itself: its period.
int autocorrelation_period(const std::vector<float>& x, size_t from, size_t length, int low, int high) {
    int best = low;
    double best_score = -1e300;
    for (int lag = low; lag <= high; ++lag) {
        double score = 0;
        for (size_t i = from; i < from + length && i + static_cast<size_t>(lag) < x.size(); ++i) {
            score += static_cast<double>(x[i]) * x[i + static_cast<size_t>(lag)];
        }
        if (score > best_score) {
            best_score = score;
            best = lag;
        }
    }
    return best;
}

// Note onsets: 10 ms windows whose high-frequency energy (first
// differences) jumps well above the windows just before. A pluck is a burst
// of noise; its highs die within a few milliseconds of averaging, and the
// reverb's echoes come back low-passed, so between plucks the highs only fall.
// Sound coming back after a stretch of exact zeros is the first note, or the
// stream resuming after an underrun on a loaded machine, not a new note.
std::vector<size_t> onsets(const std::vector<float>& x) {
    constexpr size_t window = 441;
    constexpr size_t zero_run = 64;
    std::vector<double> energy;
    std::vector<bool> gap;  // the window holds a run of exact zeros
    size_t zeros = 0;
    for (size_t w = 0; (w + 1) * window < x.size(); ++w) {
        double e = 0;
        bool has_gap = false;
        for (size_t i = w * window; i < (w + 1) * window; ++i) {
            zeros = x[i] == 0.0f ? zeros + 1 : 0;
            has_gap = has_gap || zeros >= zero_run;
            if (i > 0) {
                const double d = static_cast<double>(x[i]) - x[i - 1];
                e += d * d;
            }
        }
        energy.push_back(e);
        gap.push_back(has_gap);
    }
    const double peak = energy.empty() ? 0.0 : *std::max_element(energy.begin(), energy.end());
    std::vector<size_t> found;
    for (size_t w = 3; w < energy.size(); ++w) {
        const double recent = std::max({energy[w - 1], energy[w - 2], energy[w - 3]});
        const bool after_gap = gap[w] || gap[w - 1];
        if (energy[w] > 4 * recent && energy[w] > 1e-4 * peak && (found.empty() || !after_gap)) {
            found.push_back(w * window);
        }
    }
    return found;
}

void start_server(test::PulseServer& pulse) {
    ASSERT_TRUE(start_pulse_server(pulse)) << pulse.error;
    ASSERT_TRUE(start_recording(pulse)) << pulse.error;
}

// The usage text, silence until a key, then V: string 3 at note 109 (a
// 162-sample loop that the five-point average shortens to a 160-sample
// period, 275.6 Hz), exactly as the engine renders it; Escape then ends the
// program at once with its queued sound played out and the terminal as it was.
TEST(PluckProgram, UsageThenSilenceThenVAtItsPitchThenEscape) {
    test::PulseServer pulse;
    start_server(pulse);
    const auto recording_start = Clock::now();
    Program program;
    start_program(program, pulse);
    EXPECT_EQ(program.output.substr(0, sizeof usage_text - 1), usage_text);
    program.pump(500);
    const double silent_ms = ms_since(recording_start);
    program.send("v");
    program.pump(600);
    program.send("\x1b");  // a lone ESC: the plain terminal's Escape
    expect_clean_exit(program, "Escape");
    EXPECT_EQ(visible_text(program.output), usage_text) << "the program wrote more than its usage text";
    ASSERT_TRUE(stop_recording(pulse)) << pulse.error;

    const std::vector<float> frames = read_recording(pulse);
    size_t onset = 0;  // the first frame with sound
    while (2 * onset + 1 < frames.size() && frames[2 * onset] == 0.0f && frames[2 * onset + 1] == 0.0f) {
        ++onset;
    }
    ASSERT_LT(onset, frames.size() / 2) << "nothing sounded";
    EXPECT_GE(static_cast<double>(onset) / 44.1, silent_ms - 50) << "sound before any key was pressed";

    // Bit for bit what the engine renders for that pluck, from its first
    // frame to the last one recorded.
    reset_synth_state();
    pluck_string(3, 109, 5);
    std::vector<float> expected;
    const size_t recorded = frames.size() - 2 * onset;
    std::vector<float> buffer(2 * buffer_frames);
    while (expected.size() < recorded) {
        render_audio(buffer.data(), static_cast<uint32_t>(buffer.size() * sizeof(float)));
        expected.insert(expected.end(), buffer.begin(), buffer.end());
    }
    size_t sounding = 0;
    for (size_t i = 0; i < recorded; ++i) {
        const float got = frames[2 * onset + i];
        if (got == 0.0f && i % (2 * buffer_frames) == 0) {
            break;  // the stream ended, on a buffer boundary
        }
        ASSERT_EQ(got, expected[i]) << "sample " << i << " after the onset";
        sounding = i + 1;
    }
    // The tone lasted from the key to the Escape and the buffers queued then.
    EXPECT_EQ(sounding % (2 * buffer_frames), 0u) << "the sound was cut inside a buffer";
    EXPECT_GE(static_cast<double>(sounding / 2) / 44.1, 500.0);

    const std::vector<float> left = left_channel(frames);
    const int period = autocorrelation_period(left, onset + 2048, 8192, 100, 400);
    EXPECT_NEAR(44100.0 / period, 275.6, 2.0) << "period " << period << " samples";
}

// Holding Space makes the instrument play, and releasing it stops the new
// notes: `press`, `hold` and `release` drive Space; `escape` quits.
void hold_space_and_release(bool kitty, const std::string& press, const std::string& hold,
                            const std::string& release, const std::string& escape) {
    test::PulseServer pulse;
    start_server(pulse);
    Program program;
    program.kitty = kitty;
    start_program(program, pulse);
    if (kitty) {
        EXPECT_NE(program.output.find("\x1b[>11u"), std::string::npos) << "keyboard protocol not switched on";
    } else {
        EXPECT_EQ(program.output.find("\x1b[>11u"), std::string::npos) << "protocol pushed without support";
    }
    program.pump(200);
    const auto pressed = Clock::now();
    program.send(press);
    while (ms_since(pressed) < 1500) {
        program.pump(30);
        program.send(hold);
    }
    if (!release.empty()) {
        program.send(release);
    }
    const double held_ms = ms_since(pressed);
    program.pump(1500);
    program.send(escape);
    expect_clean_exit(program, "Escape");
    if (kitty) {
        EXPECT_NE(program.output.find("\x1b[<u"), std::string::npos) << "keyboard protocol not switched off";
    }
    ASSERT_TRUE(stop_recording(pulse)) << pulse.error;

    const std::vector<float> left = left_channel(read_recording(pulse));
    const std::vector<size_t> notes = onsets(left);
    EXPECT_GE(notes.size(), 3u) << "too few notes for " << held_ms << " ms of auto-play";
    // Beats every 119 ms or more from the first one; allow for the plain
    // terminal's hold time after the last byte and the reads' jitter.
    for (size_t n : notes) {
        const double after_first_ms = static_cast<double>(n - notes.front()) / 44.1;
        EXPECT_LE(after_first_ms, held_ms + 250)
            << "a note " << after_first_ms << " ms after the first, Space held " << held_ms << " ms";
    }
}

TEST(PluckProgram, HeldSpaceWithKeyboardProtocolPlaysUntilReleased) {
    // Space's press, repeat and release, and Escape, as the protocol sends them.
    hold_space_and_release(true, "\x1b[32u", "\x1b[32;1:2u", "\x1b[32;1:3u", "\x1b[27u");
}

TEST(PluckProgram, RepeatedSpacesOnAPlainTerminalPlayUntilTheyStop) {
    hold_space_and_release(false, " ", " ", "", "\x1b");
}

// Ctrl-C from the keyboard, either kind of terminal, and SIGTERM from
// outside: the same clean exit as Escape.
TEST(PluckProgram, CtrlCAndSigtermQuitCleanly) {
    test::PulseServer pulse;
    start_server(pulse);
    struct Way {
        bool kitty;
        const char* keys;  // null: send SIGTERM
        const char* name;
    };
    for (const Way& way : {Way{false, "\x03", "Ctrl-C"}, Way{true, "\x1b[99;5u", "Ctrl-C (protocol)"},
                           Way{false, nullptr, "SIGTERM"}, Way{true, nullptr, "SIGTERM (protocol)"}}) {
        Program program;
        program.kitty = way.kitty;
        start_program(program, pulse);
        program.send("zb");
        program.pump(300);
        if (way.keys != nullptr) {
            program.send(way.keys);
        } else {
            kill(program.pid, SIGTERM);
        }
        expect_clean_exit(program, way.name);
    }
}

}  // namespace
}  // namespace pluck
