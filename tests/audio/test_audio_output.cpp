// The audio output thread against real ALSA devices that need no sound
// server: a file device (every frame it is given lands in a file, with no
// clock of its own), devices that cannot play, and an open that hangs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/audio_output.h"
#include "tests/support/numbered_fill.h"

namespace pluck {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::numbered_fill;
using test::numbering_fill;
using test::wait_until;

// A directory of the test's own, and an ALSA configuration in it whose
// "default" is the given device; the process uses it until the test ends.
// The configuration is the whole of it: the system's own would run its hooks
// (which look for a running PulseAudio server and load its libraries) on the
// thread that opens devices, which a test may leave behind.
struct AlsaDefault {
    std::string dir;

    explicit AlsaDefault(const std::string& definition) {
        char pattern[] = "/tmp/pluck-alsa-XXXXXX";
        dir = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
        std::ofstream(dir + "/asound.conf")
            << "pcm.!default "
            << (definition[0] == '{' ? definition
                                     : "{ type file slave.pcm { type null } file \"" + dir + "/" +
                                           definition + "\" format \"raw\" }")
            << "\n";
        setenv("ALSA_CONFIG_PATH", (dir + "/asound.conf").c_str(), 1);
    }
    ~AlsaDefault() {
        unsetenv("ALSA_CONFIG_PATH");
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    // Reads what the device wrote into `name` until it closes, or until
    // nothing has come for three seconds (a device left open). On a pipe
    // the device's open waits until this starts, as an open waits on a
    // sound server that does not answer.
    std::string played(const std::string& name) const {
        const int reader = open((dir + "/" + name).c_str(), O_RDONLY);
        std::string bytes;
        char chunk[4096];
        pollfd readable{reader, POLLIN, 0};
        for (ssize_t got = 1; reader >= 0 && got > 0 && poll(&readable, 1, 3000) > 0;) {
            got = read(reader, chunk, sizeof chunk);
            bytes.append(chunk, static_cast<size_t>(std::max<ssize_t>(got, 0)));
        }
        close(reader);
        return bytes;
    }
};

// The device gets the ring of silence, then every buffer the callback
// fills, in ring order, each exactly once: the file holds the whole stream.
// The ring is laid out as the settings ask (as --latency chooses), and a
// stop asked for before the thread has looked is still seen.
class Ring : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(Ring, SilenceThenEveryBufferInRingOrder) {
    const auto [ring, frames] = GetParam();
    AlsaDefault alsa("out.raw");
    AudioSettings settings;
    settings.ring_buffers = ring;
    settings.buffer_frames = frames;
    test::reset_numbered_fill(-1, 1);  // the file device would take frames as fast as they come
    AudioHandle handle = start_audio(numbering_fill, settings);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(wait_until([&] { return numbered_fill.calls >= 60; }, 10s)) << "the callback was not called";
    const AudioStatus status = audio_status(handle);
    EXPECT_EQ(status.phase, AudioPhase::playing);
    EXPECT_EQ(status.granted.period_frames, static_cast<uint32_t>(frames));
    EXPECT_EQ(status.granted.queue_frames, static_cast<uint32_t>(ring * frames));
    ASSERT_TRUE(stop_audio(handle));

    const int calls = numbered_fill.calls;
    ASSERT_LT(calls, test::max_recorded_calls);
    for (int i = 0; i < calls; ++i) {
        for (int j = i > ring ? i - ring : 0; j < i; ++j) {
            ASSERT_EQ(numbered_fill.buffers[i] == numbered_fill.buffers[j], i - j == ring)
                << "call " << i << " is out of ring order";
        }
    }
    const std::string bytes = alsa.played("out.raw");
    ASSERT_EQ(bytes.size(), (ring + calls) * frames * 8u) << "the device got every buffer filled, once";
    std::vector<float> samples(bytes.size() / 4);
    std::memcpy(samples.data(), bytes.data(), bytes.size());
    const test::NumberedStream stream = test::read_numbered(samples);
    EXPECT_EQ(stream.fault, "");
    EXPECT_EQ(stream.leading_silence, static_cast<uint32_t>(ring * frames));
    EXPECT_EQ(stream.frames, static_cast<uint32_t>(calls * frames));

    for (int round = 0; round < 3; ++round) {
        const auto before = Clock::now();
        EXPECT_TRUE(stop_audio(start_audio(numbering_fill, settings)));
        EXPECT_LT(Clock::now() - before, 1500ms);
    }
}

INSTANTIATE_TEST_SUITE_P(AudioOutput, Ring, testing::Values(std::pair{6, 512}, std::pair{3, 128}));

// Devices that cannot play: each is said in one line that names the device
// and what to check, once, though the thread tries again every second. In
// the meantime the callback runs at the pace the device would have taken
// buffers (not paused, not spinning), and a stop ends it at once.
class NoDevice : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(NoDevice, SaidOnceWhileTryingAgainAndTimeRunsOn) {
    AlsaDefault alsa(GetParam().first);
    test::reset_numbered_fill();
    testing::internal::CaptureStderr();
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(wait_until([&] { return audio_status(handle).phase == AudioPhase::no_device; }, 10s));
    const auto since = Clock::now();
    const int calls_then = numbered_fill.calls;
    EXPECT_TRUE(wait_until([&] { return audio_status(handle).open_attempts >= 2; }, 10s)) << "it gave up";
    std::this_thread::sleep_until(since + 1s);
    const double blocks_due = std::chrono::duration<double>(Clock::now() - since).count() * 44100 / 512;
    const int calls = numbered_fill.calls - calls_then;
    EXPECT_EQ(audio_status(handle).devices_opened, 0u);
    EXPECT_TRUE(stop_audio(handle));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), GetParam().second);
    EXPECT_GT(calls, blocks_due / 2) << "time stood still without a device";
    EXPECT_LT(calls, blocks_due * 3 / 2) << "faster than a device would take buffers";
}

INSTANTIATE_TEST_SUITE_P(
    AudioOutput, NoDevice,
    testing::Values(
        std::pair{"{ type hw card 29 device 0 }",
                  "pluck: no sound: no ALSA device \"default\" (No such file or directory), trying "
                  "again each second; is the sound card connected, and is that its name?\n"},
        std::pair{"{ type linear slave { pcm { type null } format S16_LE } }",
                  "pluck: no sound: ALSA device \"default\" cannot play 44.1 kHz stereo float samples "
                  "(Invalid argument), trying again each second; does its ALSA definition convert "
                  "formats?\n"}));

// An open that does not come back is said within a second or two, and the
// instrument's time waits for nothing before then; when it comes back, the
// device gets its silence and then the callback's buffers. A stop while
// the open still hangs returns at once: nothing was played, nothing is owed.
TEST(AudioOutput, AnOpenThatHangs) {
    for (const bool stop_while_hanging : {false, true}) {
        AlsaDefault alsa("pipe");
        ASSERT_EQ(mkfifo((alsa.dir + "/pipe").c_str(), 0600), 0);
        test::reset_numbered_fill();
        testing::internal::CaptureStderr();
        AudioHandle handle = start_audio(numbering_fill);
        ASSERT_NE(handle, nullptr);
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(numbered_fill.calls, 0);
        EXPECT_TRUE(wait_until([&] { return audio_status(handle).phase == AudioPhase::no_device; }, 3s));
        std::string played;
        if (stop_while_hanging) {
            const auto before = Clock::now();
            EXPECT_TRUE(stop_audio(handle));
            EXPECT_LT(Clock::now() - before, 1s);
            EXPECT_EQ(alsa.played("pipe"), "");
            testing::internal::GetCapturedStderr();
            continue;
        }
        std::thread reader([&] { played = alsa.played("pipe"); });
        EXPECT_TRUE(wait_until([&] { return audio_status(handle).device_opened; }, 10s));
        EXPECT_TRUE(wait_until([&] { return numbered_fill.calls >= 20; }, 10s));
        EXPECT_TRUE(stop_audio(handle));
        reader.join();
        EXPECT_EQ(
            testing::internal::GetCapturedStderr(),
            "pluck: no sound: the sound server does not answer on ALSA device \"default\", still waiting; "
            "is it stopped or stuck?\n");
        ASSERT_GT(played.size(), 26u * 4096);
        EXPECT_EQ(played.substr(0, 6 * 4096), std::string(6 * 4096, '\0'));
        EXPECT_NE(played.substr(6 * 4096, 20 * 4096), std::string(20 * 4096, '\0'));
    }
}

}  // namespace
}  // namespace pluck
