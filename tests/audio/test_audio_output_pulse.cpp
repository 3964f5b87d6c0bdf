// The audio output thread playing to a private PulseAudio server through
// ALSA's "default" PCM, with the server's output recorded.
//
// What the server may change: the fixture's sink takes float32 stereo at
// 44.1 kHz, the thread's own format, and the stream plays at full volume, so
// the server passes every sample through unchanged (compared as bits). What
// it adds is silence: before the stream starts, after it ends, and while the
// stream has run dry.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_output.h"
#include "tests/support/fd_capture.h"
#include "tests/support/pulse_server.h"

namespace pluck {
namespace {

using namespace std::chrono_literals;

// ---- A fill callback that numbers every frame ------------------------------

// Frame n (from 1) carries n * 2^-22 on the left and its negative on the
// right: exact in float32, never silent, and a lost, repeated or reordered
// buffer shows as a break in the count.
float frame_value(uint32_t n) {
    return static_cast<float>(n) * 0x1p-22f;
}

std::atomic<int> fill_calls{0};
std::atomic<int> stall_at_call{-1};
uint32_t frames_numbered = 0;  // audio thread only

void reset_fill(int stall_call) {
    fill_calls = 0;
    stall_at_call = stall_call;
    frames_numbered = 0;
}

// Takes 150 ms over one chosen buffer: longer than the whole queue of six
// (69.7 ms), so the device runs dry.
void numbering_fill(void* buffer, uint32_t bytes) {
    if (fill_calls.fetch_add(1) == stall_at_call) {
        std::this_thread::sleep_for(150ms);
    }
    float* samples = static_cast<float*>(buffer);
    for (uint32_t i = 0; i < bytes / 8; ++i) {
        const float v = frame_value(++frames_numbered);
        samples[2 * i] = v;
        samples[2 * i + 1] = -v;
    }
}

// ---- Reading the recording back ---------------------------------------------

struct NumberedStream {
    uint32_t frames = 0;           // numbered frames found, all in order
    uint32_t leading_silence = 0;  // silent frames before the first
    uint32_t silent_runs = 0;      // silences between numbered frames
    std::string fault;             // the first frame out of place
};

// Walks the recording: numbered frames must come as 1, 2, 3, ... with
// nothing but silence around and between them.
NumberedStream read_numbered(const std::vector<float>& recording) {
    NumberedStream stream;
    bool in_silence = true;
    for (size_t i = 0; i + 1 < recording.size(); i += 2) {
        const uint32_t left = std::bit_cast<uint32_t>(recording[i]);
        const uint32_t right = std::bit_cast<uint32_t>(recording[i + 1]);
        if (left == 0 && right == 0) {
            if (stream.frames == 0) {
                ++stream.leading_silence;
            }
            in_silence = true;
            continue;
        }
        const float expected = frame_value(stream.frames + 1);
        if (left != std::bit_cast<uint32_t>(expected) || right != std::bit_cast<uint32_t>(-expected)) {
            std::ostringstream text;
            text << "recorded frame " << i / 2 << " is (" << recording[i] << ", " << recording[i + 1]
                 << "), expected numbered frame " << stream.frames + 1 << " = " << expected;
            stream.fault = text.str();
            return stream;
        }
        if (in_silence && stream.frames > 0) {
            ++stream.silent_runs;
        }
        in_silence = false;
        ++stream.frames;
    }
    return stream;
}

bool wait_until(const auto& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Starts the server and the recording and routes this process to them.
#define START_PULSE(pulse)                                 \
    test::PulseServer pulse;                               \
    ASSERT_TRUE(start_pulse_server(pulse)) << pulse.error; \
    test::use_pulse_environment(pulse);                    \
    ASSERT_TRUE(start_recording(pulse)) << pulse.error

// ---- Tests -----------------------------------------------------------------

// After the leading silence the numbered frames arrive in order, none
// missing, none twice, with no silence between them.
TEST(AudioOutputPulse, FramesArriveInOrderWithoutGaps) {
    START_PULSE(pulse);
    reset_fill(-1);
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(wait_until([] { return fill_calls >= 130; }, 20s)) << "the callback was not called";
    const AudioStatus status = audio_status(handle);
    EXPECT_EQ(status.phase, AudioPhase::playing);
    EXPECT_EQ(status.granted.rate_hz, 44100u);
    EXPECT_EQ(status.granted.queue_frames, 3072u) << "buffer granted: " << status.granted.buffer_frames;
    ASSERT_TRUE(stop_audio(handle));
    const uint32_t rendered = static_cast<uint32_t>(fill_calls) * 512;
    ASSERT_TRUE(stop_recording(pulse)) << pulse.error;

    const NumberedStream stream = read_numbered(read_recording(pulse));
    EXPECT_EQ(stream.fault, "");
    EXPECT_EQ(stream.frames, rendered);
    EXPECT_EQ(stream.silent_runs, 0u);
    EXPECT_GE(stream.leading_silence, 6u * 512) << "the six buffers of silence come first";
}

// A quit request while the queue is full of freshly rendered buffers: they
// all play out before the device is closed.
TEST(AudioOutputPulse, QuitPlaysOutEveryRenderedBuffer) {
    START_PULSE(pulse);
    reset_fill(-1);
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(wait_until([] { return fill_calls >= 8; }, 20s)) << "the callback was not called";
    ASSERT_TRUE(stop_audio(handle));
    const uint32_t rendered = static_cast<uint32_t>(fill_calls) * 512;
    ASSERT_TRUE(stop_recording(pulse)) << pulse.error;

    const NumberedStream stream = read_numbered(read_recording(pulse));
    EXPECT_EQ(stream.fault, "");
    EXPECT_EQ(stream.frames, rendered) << "rendered buffers were dropped at the end";
}

// A callback that stalls for longer than the whole queue: the device runs
// dry, then playback goes on with every later buffer, nothing lost. Run
// twice: as the server's ALSA device normally behaves (it plays silence
// while dry and reports nothing), and with the device reporting the
// underrun, which the thread must recover from.
void stall_and_recover(bool report_underruns) {
    START_PULSE(pulse);
    if (report_underruns) {
        const std::string config = pulse.dir + "/underruns.conf";
        std::ofstream(config) << "pcm.!default { type pulse handle_underrun true }\n";
        setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + config).c_str(), 1);
    }
    reset_fill(40);
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(wait_until([] { return fill_calls >= 200; }, 20s))
        << "playback did not go on after the stall";
    const AudioStatus status = audio_status(handle);
    EXPECT_EQ(status.phase, AudioPhase::playing);
    if (report_underruns) {
        EXPECT_GE(status.underruns_recovered, 1u);
    }
    ASSERT_TRUE(stop_audio(handle));
    const uint32_t rendered = static_cast<uint32_t>(fill_calls) * 512;
    ASSERT_TRUE(stop_recording(pulse)) << pulse.error;

    const NumberedStream stream = read_numbered(read_recording(pulse));
    EXPECT_EQ(stream.fault, "");
    EXPECT_EQ(stream.frames, rendered);
    EXPECT_GE(stream.silent_runs, 1u) << "the stall should have been heard as a silence";
}

TEST(AudioOutputPulse, PlaybackRecoversAfterAStalledCallback) {
    stall_and_recover(false);
}

TEST(AudioOutputPulse, PlaybackRecoversFromAReportedUnderrun) {
    stall_and_recover(true);
}

// No server where the address points: the thread ends at once, says why in
// one line, and a later stop returns at once.
TEST(AudioOutputPulse, NoServerEndsTheThreadWithOneLine) {
    test::PulseServer pulse;
    ASSERT_TRUE(prepare_unreachable_pulse(pulse)) << pulse.error;
    test::use_pulse_environment(pulse);
    reset_fill(-1);
    test::FdCapture out;
    test::FdCapture err;
    ASSERT_TRUE(begin_capture(out, 1)) << out.error;
    ASSERT_TRUE(begin_capture(err, 2)) << err.error;
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    const bool ended = wait_until([&] { return audio_status(handle).phase == AudioPhase::ended; }, 10s);
    const bool stopped = stop_audio(handle);
    const std::string out_text = end_capture(out);
    const std::string err_text = end_capture(err);

    EXPECT_TRUE(ended);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(fill_calls, 0);
    EXPECT_EQ(out_text, "");
    EXPECT_EQ(err_text, "pluck: no sound: Connection refused\n");
}

// The server goes away while playing: the thread ends by itself, without a
// word, and a later stop returns at once.
TEST(AudioOutputPulse, VanishingServerEndsTheThreadQuietly) {
    START_PULSE(pulse);
    reset_fill(-1);
    test::FdCapture err;
    ASSERT_TRUE(begin_capture(err, 2)) << err.error;
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    const bool played = wait_until([] { return fill_calls >= 20; }, 20s);
    stop_pulse_server(pulse);
    const bool ended = wait_until([&] { return audio_status(handle).phase == AudioPhase::ended; }, 10s);
    const bool stopped = stop_audio(handle);
    const std::string err_text = end_capture(err);

    EXPECT_TRUE(played);
    EXPECT_TRUE(ended) << "the thread went on without its device";
    EXPECT_TRUE(stopped);
    EXPECT_EQ(err_text, "");
}

// A server that stops taking audio (frozen, not gone) never plays the queue
// out: the drain gives up in time and stop_audio still finds the thread
// ended.
TEST(AudioOutputPulse, FrozenServerDoesNotHoldUpTheStop) {
    START_PULSE(pulse);
    reset_fill(-1);
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(wait_until([] { return fill_calls >= 20; }, 20s)) << "the callback was not called";
    ASSERT_EQ(kill(pulse.server_pid, SIGSTOP), 0);
    const bool stopped = stop_audio(handle);
    kill(pulse.server_pid, SIGCONT);
    EXPECT_TRUE(stopped) << "the thread was still draining after " << stop_wait_ms << " ms";
}

}  // namespace
}  // namespace pluck
