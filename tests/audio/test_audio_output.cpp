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

    AlsaDefault() {
        char pattern[] = "/tmp/pluck-alsa-XXXXXX";
        dir = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
    }
    ~AlsaDefault() {
        unsetenv("ALSA_CONFIG_PATH");
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    void use(const std::string& definition) const {
        std::ofstream(dir + "/asound.conf") << "pcm.!default " << definition << "\n";
        setenv("ALSA_CONFIG_PATH", (dir + "/asound.conf").c_str(), 1);
    }
    // A device that writes every frame it gets into `path`, with no clock.
    void use_file_device(const std::string& path) const {
        use("{ type file slave.pcm { type null } file \"" + path + "\" format \"raw\" }");
    }
};

TEST(AudioOutput, StopOnANullHandleDoesNothing) {
    EXPECT_TRUE(stop_audio(nullptr));
    EXPECT_EQ(audio_status(nullptr).phase, AudioPhase::ended);
}

// The device is handed a ring of buffers of silence, then every buffer the
// callback fills, in ring order, each exactly once: the file holds the
// whole stream, so nothing may be missing, doubled or out of order. For the
// instrument's six buffers and for a shorter ring.
class RingSize : public testing::TestWithParam<int> {};

TEST_P(RingSize, SilenceFirstThenEveryBufferInRingOrder) {
    const uint32_t ring = static_cast<uint32_t>(GetParam());
    AlsaDefault alsa;
    const std::string out = alsa.dir + "/out.raw";
    alsa.use_file_device(out);
    test::reset_numbered_fill(-1, 1);  // the file device would take frames as fast as they come
    AudioSettings settings;
    settings.ring_buffers = GetParam();
    AudioHandle handle = start_audio(numbering_fill, settings);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(wait_until([&] { return numbered_fill.calls >= 60; }, 10s)) << "the callback was not called";
    const AudioStatus status = audio_status(handle);
    EXPECT_EQ(status.phase, AudioPhase::playing);
    EXPECT_TRUE(status.device_opened);
    EXPECT_EQ(status.granted.period_frames, 512u);
    EXPECT_EQ(status.granted.buffer_frames, ring * 512);
    EXPECT_EQ(status.granted.queue_frames, ring * 512);
    ASSERT_TRUE(stop_audio(handle));

    const int calls = numbered_fill.calls;
    ASSERT_LT(calls, test::max_recorded_calls);
    EXPECT_EQ(numbered_fill.wrong_sizes, 0) << "every buffer is 512 frames";
    std::vector<void*> first(numbered_fill.buffers, numbered_fill.buffers + ring);
    std::sort(first.begin(), first.end());
    EXPECT_EQ(std::unique(first.begin(), first.end()), first.end()) << "distinct buffers";
    for (int i = static_cast<int>(ring); i < calls; ++i) {
        ASSERT_EQ(numbered_fill.buffers[i], numbered_fill.buffers[i - ring])
            << "call " << i << " is out of ring order";
    }

    std::ifstream in(out, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), (ring + calls) * 4096u) << "the device got every buffer filled, once";
    std::vector<float> samples(bytes.size() / 4);
    std::memcpy(samples.data(), bytes.data(), bytes.size());
    const test::NumberedStream stream = test::read_numbered(samples);
    EXPECT_EQ(stream.fault, "");
    EXPECT_EQ(stream.leading_silence, ring * 512);
    EXPECT_EQ(stream.frames, calls * 512u);
}

INSTANTIATE_TEST_SUITE_P(AudioOutput, RingSize, testing::Values(6, 2));

// Devices that cannot play: each is said in one line that names the device
// and what to check, once, though the thread tries again every second. In
// the meantime the callback runs at the pace the device would have taken
// buffers (not paused, not spinning), and a stop ends it at once.
struct NoDeviceCase {
    const char* name;
    const char* definition;
    const char* line;
};

void PrintTo(const NoDeviceCase& c, std::ostream* out) {
    *out << c.definition;
}

class NoDevice : public testing::TestWithParam<NoDeviceCase> {};

TEST_P(NoDevice, SaidOnceWhileTryingAgainAndTimeRunsOn) {
    AlsaDefault alsa;
    alsa.use(GetParam().definition);
    test::reset_numbered_fill();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    const bool said = wait_until([&] { return audio_status(handle).phase == AudioPhase::no_device; }, 10s);
    const auto since = Clock::now();
    const int calls_then = numbered_fill.calls;
    const bool retried = wait_until([&] { return audio_status(handle).open_attempts >= 2; }, 10s);
    std::this_thread::sleep_until(since + 1s);
    const double blocks_due = std::chrono::duration<double>(Clock::now() - since).count() * 44100 / 512;
    const int calls = numbered_fill.calls - calls_then;
    const AudioStatus status = audio_status(handle);
    const bool stopped = stop_audio(handle);
    const std::string out_text = testing::internal::GetCapturedStdout();
    const std::string err_text = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(said);
    EXPECT_TRUE(retried) << "the thread gave up";
    EXPECT_FALSE(status.device_opened);
    EXPECT_EQ(status.devices_opened, 0u);
    EXPECT_TRUE(stopped);
    EXPECT_GT(calls, blocks_due / 2) << "time stood still without a device";
    EXPECT_LT(calls, blocks_due * 3 / 2) << "faster than a device would take buffers";
    EXPECT_EQ(out_text, "");
    EXPECT_EQ(err_text, GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    AudioOutput, NoDevice,
    testing::Values(
        NoDeviceCase{"MissingCard", "{ type hw card 29 device 0 }",
                     "pluck: no sound: no ALSA device \"default\" (No such file or directory), trying again "
                     "each second; is the sound card connected, and is that its name?\n"},
        NoDeviceCase{"WrongFormat", "{ type linear slave { pcm { type null } format S16_LE } }",
                     "pluck: no sound: ALSA device \"default\" cannot play 44.1 kHz stereo float samples "
                     "(Invalid argument), trying again each second; does its ALSA definition convert "
                     "formats?\n"}),
    [](const testing::TestParamInfo<NoDeviceCase>& info) { return std::string(info.param.name); });

// A file device writing into a pipe: its opening waits until the test reads
// the pipe, as an open waits on a sound server that does not answer.
struct StuckDevice {
    AlsaDefault alsa;
    std::string fifo = alsa.dir + "/pipe";

    StuckDevice() {
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        alsa.use_file_device(fifo);
    }
    // Lets the open finish and reads what is played until the device
    // closes, or until nothing has come for three seconds (a device left
    // open).
    std::string read_all() const {
        const int reader = open(fifo.c_str(), O_RDONLY);
        std::string played;
        char chunk[4096];
        pollfd readable{reader, POLLIN, 0};
        while (reader >= 0 && poll(&readable, 1, 3000) > 0) {
            const ssize_t got = read(reader, chunk, sizeof chunk);
            if (got <= 0) {
                break;
            }
            played.append(chunk, static_cast<size_t>(got));
        }
        close(reader);
        return played;
    }
};

// An open that does not come back is said within a second or two; the
// instrument's time waits for nothing before then. When the open does come
// back, the device gets its silence and then the callback's buffers.
TEST(AudioOutput, AnOpenThatHangsIsSaidAndPlaysWhenItReturns) {
    StuckDevice device;
    test::reset_numbered_fill();
    testing::internal::CaptureStderr();
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    std::this_thread::sleep_for(500ms);
    const int calls_before_said = numbered_fill.calls;
    const bool said = wait_until([&] { return audio_status(handle).phase == AudioPhase::no_device; }, 3s);
    std::string played;
    std::thread reader([&] { played = device.read_all(); });
    const bool opened = wait_until([&] { return audio_status(handle).device_opened; }, 10s);
    const int calls_at_open = numbered_fill.calls;
    const bool refilled = wait_until([&] { return numbered_fill.calls >= calls_at_open + 20; }, 10s);
    const bool stopped = stop_audio(handle);
    reader.join();
    const std::string err_text = testing::internal::GetCapturedStderr();

    EXPECT_EQ(calls_before_said, 0);
    EXPECT_TRUE(said);
    EXPECT_TRUE(opened);
    EXPECT_TRUE(refilled);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(err_text,
              "pluck: no sound: the sound server does not answer on ALSA device \"default\", still waiting; "
              "is it stopped or stuck?\n");
    ASSERT_GT(played.size(), 26u * 4096);
    EXPECT_EQ(played.substr(0, 6 * 4096), std::string(6 * 4096, '\0'));
    EXPECT_NE(played.substr(6 * 4096, 20 * 4096), std::string(20 * 4096, '\0'));
}

// Quitting while the open still hangs (Escape before a stopped server ever
// answered) does not wait for it: nothing was played, so nothing is owed.
// When the open comes back later, the device is closed unplayed.
TEST(AudioOutput, StopWhileTheOpenHangsReturnsAtOnce) {
    StuckDevice device;
    test::reset_numbered_fill();
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    std::this_thread::sleep_for(200ms);
    const auto before = Clock::now();
    const bool stopped = stop_audio(handle);
    const auto took = Clock::now() - before;
    const std::string played = device.read_all();

    EXPECT_TRUE(stopped);
    EXPECT_LT(took, 1s);
    EXPECT_EQ(numbered_fill.calls, 0);
    EXPECT_EQ(played, "");
}

}  // namespace
}  // namespace pluck
