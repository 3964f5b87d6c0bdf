// The audio output thread on winmm, under Wine. CTest runs the NoDevice
// cases with Wine's sound drivers turned off; tests/windows runs the Device
// cases against a private PulseAudio server and checks its recording of
// the numbered frames that the last case prints the count of.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>

#include "audio/audio_output.h"
#include "tests/support/numbered_fill.h"

namespace pluck {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::numbered_fill;
using test::numbering_fill;
using test::wait_until;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// No device: one line on standard error with the system's reason, the thread
// ends by itself without a single fill, and a later stop returns at once.
TEST(NoDevice, SaysWhyInOneLineAndEndsAtOnce) {
    test::reset_numbered_fill();
    testing::internal::CaptureStderr();
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    const bool ended = wait_until([&] { return audio_status(handle).phase == AudioPhase::ended; }, 5s);
    const AudioStatus status = audio_status(handle);
    const auto stop_start = Clock::now();
    const bool stopped = stop_audio(handle);
    const double stop_ms = ms_since(stop_start);
    const std::string err_text = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(ended);
    EXPECT_FALSE(status.device_opened);
    EXPECT_TRUE(stopped);
    EXPECT_LT(stop_ms, 500);
    EXPECT_EQ(numbered_fill.calls, 0);
    const std::string prefix = "pluck: no sound: ";
    ASSERT_GT(err_text.size(), prefix.size() + 1) << err_text;
    EXPECT_EQ(err_text.substr(0, prefix.size()), prefix) << err_text;
    EXPECT_EQ(err_text.find('\n'), err_text.size() - 1) << "one line: " << err_text;
}

// A stop asked for before the thread has looked even once is still seen:
// the thread plays out its silence and ends well within the stop's wait.
TEST(Device, StopRightAfterStartIsSeen) {
    for (int round = 0; round < 3; ++round) {
        test::reset_numbered_fill();
        AudioHandle handle = start_audio(numbering_fill);
        ASSERT_NE(handle, nullptr);
        const auto stop_start = Clock::now();
        EXPECT_TRUE(stop_audio(handle)) << "round " << round;
        EXPECT_LT(ms_since(stop_start), 1500) << "round " << round;
    }
}

// Playing: the six buffers are refilled strictly in ring order, each with
// whole 512-frame blocks, no faster than the device plays them; after a stop nothing more is
// rendered and the queue plays out before the device is closed. Prints
// the frames rendered, for the recording's check.
TEST(Device, RefillsInRingOrderAtTheDevicePaceAndDrains) {
    test::reset_numbered_fill();
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(wait_until([] { return numbered_fill.calls >= 6; }, 10s)) << "the device took no buffer";
    const int calls_at_start = numbered_fill.calls;
    const auto start = Clock::now();
    std::this_thread::sleep_for(1500ms);
    const int calls_in_play = numbered_fill.calls - calls_at_start;
    const double played_ms = ms_since(start);
    const AudioStatus status = audio_status(handle);
    const auto stop_start = Clock::now();
    const bool stopped = stop_audio(handle);
    const double stop_ms = ms_since(stop_start);
    const int calls = numbered_fill.calls;

    EXPECT_EQ(status.phase, AudioPhase::playing);
    EXPECT_TRUE(status.device_opened);
    EXPECT_EQ(status.granted.rate_hz, 44100u);
    EXPECT_EQ(status.granted.queue_frames, 3072u);
    // 86.1 buffers a second at most: a thread refilling buffers that are
    // still queued would run ahead. (A starved machine only ever plays
    // slower.)
    EXPECT_LE(calls_in_play, played_ms / 1000.0 * 44100 / 512 * 1.2 + 6);
    EXPECT_TRUE(stopped);
    EXPECT_GT(stop_ms, 20) << "the stop did not wait for the queue to play out";
    EXPECT_LT(stop_ms, 1500);
    EXPECT_EQ(numbered_fill.wrong_sizes, 0);
    std::set<void*> distinct;
    for (int call = 0; call < calls && call < test::max_recorded_calls; ++call) {
        distinct.insert(numbered_fill.buffers[call]);
        ASSERT_EQ(numbered_fill.buffers[call], numbered_fill.buffers[call % 6]) << "call " << call;
    }
    EXPECT_EQ(distinct.size(), 6u);
    std::printf("rendered frames: %d\n", calls * 512);
}

}  // namespace
}  // namespace pluck
