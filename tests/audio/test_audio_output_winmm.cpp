// The audio output thread on winmm, under Wine. CTest runs the NoDevice
// case with Wine's sound drivers turned off; tests/windows runs the Device
// case against a private PulseAudio server and checks its recording of the
// numbered frames, whose count it prints.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "audio/audio_output.h"
#include "tests/support/numbered_fill.h"

namespace pluck {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::numbered_fill;

// No device: one line on standard error with the system's reason, said
// once though the device is tried again each second (as the wait here lets
// it be); meanwhile the callback
// runs at the pace a device would take buffers (the instrument keeps its
// time and a recording grows), and a stop returns at once.
TEST(NoDevice, SaidOnceWhileTimeRunsOn) {
    test::reset_numbered_fill();
    testing::internal::CaptureStderr();
    AudioHandle handle = start_audio(test::numbering_fill);
    EXPECT_TRUE(test::wait_until([&] { return audio_status(handle).phase == AudioPhase::no_device; }, 5s));
    const auto since = Clock::now();
    const int calls_then = numbered_fill.calls;
    std::this_thread::sleep_until(since + 1500ms);
    const double blocks_due = std::chrono::duration<double>(Clock::now() - since).count() * 44100 / 512;
    const int calls = numbered_fill.calls - calls_then;
    const auto before = Clock::now();
    EXPECT_TRUE(stop_audio(handle));
    EXPECT_LT(Clock::now() - before, 500ms);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("pluck: no sound: ", 0), 0u) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << said;
    EXPECT_GT(calls, blocks_due / 2) << "time stood still without a device";
    EXPECT_LT(calls, blocks_due * 3 / 2) << "faster than a device would take buffers";
}

// A stop asked for before the thread has looked is still seen. Playing,
// the six buffers are refilled no faster than the device plays them; after
// a stop the queue plays out (the stop waits for it, within its limit).
// Prints the frames rendered: the recording of them shows whether each
// buffer played once, in order.
TEST(Device, RefillsAtTheDevicePaceAndDrains) {
    for (int round = 0; round < 3; ++round) {
        const auto before = Clock::now();
        EXPECT_TRUE(stop_audio(start_audio(test::numbering_fill)));
        EXPECT_LT(Clock::now() - before, 1500ms);
    }
    test::reset_numbered_fill();
    AudioHandle handle = start_audio(test::numbering_fill);
    ASSERT_TRUE(test::wait_until([] { return numbered_fill.calls >= 6; }, 10s))
        << "the device took no buffer";
    const int calls_at_start = numbered_fill.calls;
    const auto start = Clock::now();
    std::this_thread::sleep_for(1500ms);
    const int calls_in_play = numbered_fill.calls - calls_at_start;
    const double played_s = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(audio_status(handle).granted.queue_frames, 3072u);
    const auto stop_start = Clock::now();
    EXPECT_TRUE(stop_audio(handle));
    const auto stop_took = Clock::now() - stop_start;
    // 86.1 buffers a second at most: a thread refilling buffers that are
    // still queued would run ahead. (A starved machine only plays slower.)
    EXPECT_LE(calls_in_play, played_s * 44100 / 512 * 1.2 + 6);
    EXPECT_GT(stop_took, 20ms) << "the stop did not wait for the queue to play out";
    EXPECT_LT(stop_took, 1500ms);
    std::printf("rendered frames: %d\n", numbered_fill.calls * 512);
}

}  // namespace
}  // namespace pluck
